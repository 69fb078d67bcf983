#include "volume/quantile.h"

#include <algorithm>
#include <cstddef>

float quantile(const std::vector<float>& v, double q) {
    const size_t step = std::max<size_t>(1, v.size() / 1000000);
    std::vector<float> s;
    s.reserve(v.size() / step + 1);
    for (size_t i = 0; i < v.size(); i += step) s.push_back(v[i]);
    const size_t k = std::min(s.size() - 1, (size_t)(q * (double)(s.size() - 1) + 0.5));
    std::nth_element(s.begin(), s.begin() + (ptrdiff_t)k, s.end());
    return s[k];
}
