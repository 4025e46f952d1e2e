// qpack's command line: options, operands and usage.
#pragma once

#include <map>
#include <string>
#include <vector>

struct OptionRule {
    const char *longName; // without the leading "--"
    char shortName;       // 0 when the option has none
    bool takesValue;
    bool repeatable = false; // every value kept in ParsedArguments::lists
};

// Options by long name (a flag maps to ""; a repeatable option to its first
// value), the values of repeatable options in order, operands in order.
struct ParsedArguments {
    std::map<std::string, std::string> options;
    std::map<std::string, std::vector<std::string>> lists;
    std::vector<std::string> operands;
};

// Accepts "--name value", "--name=value", "-n value", "-nvalue" and "--" as
// the end of options; a lone "-" is an operand. Returns false with a message
// for an unknown option, a missing or unexpected value or a repeated option
// that is not repeatable.
bool ArgumentsParse(const std::vector<std::string> &args, const std::vector<OptionRule> &rules,
                    ParsedArguments *parsed, std::string *error);
bool ArgumentsHave(const ParsedArguments &parsed, const char *longName);

// Parses the arguments of a command that takes the options in rules (and
// --help), every option in required, and exactly one operand named
// operandName. Returns -1 when the command should go on; otherwise the exit
// status (usage printed for --help, a usage error reported).
int CommandArgumentsParse(const char *command, const std::vector<std::string> &args,
                          std::vector<OptionRule> rules, const std::vector<const char *> &required,
                          const char *operandName, ParsedArguments *parsed);

// Prints the usage of every command to stdout.
void UsagePrint(void);
// Prints "qpack: message" and a pointer to --help on stderr; returns
// QPACK_EXIT_USAGE.
int UsageError(const std::string &message);
