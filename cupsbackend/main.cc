// tillcast: the CUPS backend that puts a queue's real device behind the
// receipt capture (see backend.h). Installed as /usr/lib/cups/backend/tillcast,
// mode 0700.
#include <cstdio>

#include "backend.h"

int main(int argc, char** argv) {
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  return tillcast::cupsbackend::RunBackend(argc, argv);
}
