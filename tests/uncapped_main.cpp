// moxtil as it runs on a kernel without TCP_RTO_MAX_MS (before Linux 6.15, every Android kernel): the kernel's
// back-off of retransmissions and window probes left uncapped, so that a station's liveness can be tried on it from
// any kernel. For tests only; never installed.
#include "moxtil/engine/Driver.h"
#include "moxtil/itron/Itron.h"

int main(int argc, char** argv) {
  ItronCapBackOff(false);
  return RunMoxtil(argc, argv);
}
