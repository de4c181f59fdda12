#include "base/process_settings.h"

namespace tillcast {

ProcessSettings& GetProcessSettings() {
  static ProcessSettings settings;
  return settings;
}

}  // namespace tillcast
