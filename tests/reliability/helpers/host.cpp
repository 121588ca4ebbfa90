// A host application holding the state service; see reliability/host_role.h for what it says
// and which commands it takes.

#include "reliability/host_role.h"

int main(int argc, char** argv) {
  return reliability::runHostRole(argc - 1, argv + 1);
}
