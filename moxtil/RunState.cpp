#include "moxtil/RunState.h"
