// The p-quantile (0..1) of a sample, nearest rank; 0 for no samples.
#pragma once

#include <algorithm>
#include <vector>

namespace bench {

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}

}  // namespace bench
