#include "BRIXConfig.h"

BRIXConfig config;
