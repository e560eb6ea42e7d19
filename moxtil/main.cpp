#include "moxtil/engine/Driver.h"

int main(int argc, char** argv) { return RunMoxtil(argc, argv); }
