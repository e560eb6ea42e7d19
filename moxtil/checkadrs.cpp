#include "moxtil/checkadrs.h"
