// TextMap.h: a hash map keyed by strings that is probed with string_views,
// so that a lookup on a hot path builds no string.
#ifndef BRIX_TEXTMAP_H_
#define BRIX_TEXTMAP_H_

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const {
    return std::hash<std::string_view>{}(s);
  }
};

template <typename V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

#endif  // BRIX_TEXTMAP_H_
