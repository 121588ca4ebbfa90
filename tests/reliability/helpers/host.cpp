// A host application holding the state service; see reliability/host_role.h.

#include "reliability/host_role.h"

int main() {
  return reliability::HostRole().run();
}
