#include "moxtil/Transfer.h"
