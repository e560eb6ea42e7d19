#include "moxtil/Driver.h"
