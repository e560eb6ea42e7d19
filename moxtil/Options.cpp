#include "moxtil/Options.h"
