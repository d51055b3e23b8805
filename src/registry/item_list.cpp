#include "registry/item_list.h"

namespace {

bool HasAt(std::string_view text, size_t pos, std::string_view part) {
  return pos <= text.size() && text.substr(pos, part.size()) == part;
}

bool EndsWith(std::string_view text, std::string_view part) {
  return text.size() >= part.size() && HasAt(text, text.size() - part.size(), part);
}

}  // namespace

size_t FindItem(std::string_view list, std::string_view item, std::string_view separator) {
  for (size_t pos = list.find(item); pos != std::string_view::npos;
       pos = list.find(item, pos + 1)) {
    const size_t end = pos + item.size();
    const bool startsItem = pos == 0 || (pos >= separator.size() &&
                                         HasAt(list, pos - separator.size(), separator));
    const bool endsItem = end == list.size() || HasAt(list, end, separator);
    if (startsItem && endsItem) return pos;
  }
  return std::string_view::npos;
}

bool AddItem(std::string& list, const std::string& item, const std::string& separator) {
  if (item.empty() || FindItem(list, item, separator) != std::string::npos) return false;
  if (!list.empty() && !EndsWith(list, separator)) list += separator;
  list += item;
  return true;
}

bool RemoveItem(std::string& list, const std::string& item, const std::string& separator) {
  if (item.empty()) return false;
  const size_t pos = FindItem(list, item, separator);
  if (pos == std::string::npos) return false;
  list.erase(pos, item.size());
  if (!list.empty() && HasAt(list, pos, separator)) list.erase(pos, separator.size());
  if (!list.empty() && EndsWith(list, separator)) list.erase(list.size() - separator.size());
  return true;
}
