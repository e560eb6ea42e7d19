#include "moxtil/Acceptor.h"
