#include "moxtil/Itron.h"
