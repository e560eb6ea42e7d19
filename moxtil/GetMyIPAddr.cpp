#include "moxtil/GetMyIPAddr.h"
