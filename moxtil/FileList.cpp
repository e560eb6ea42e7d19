#include "moxtil/FileList.h"
