// Texts that more than one part of the driver shows.
#include "driver/driver.h"

const char kMessageCaption[] = "Unpack";
