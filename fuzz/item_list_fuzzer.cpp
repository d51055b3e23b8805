// Item editing (registry/item_list.h) against a model of a list as the
// items between its separators:
//   - install appends the item, after a separator unless the list is empty
//     or ends with one, unless an item equals it; installing twice equals
//     installing once;
//   - uninstall takes out the first item equal to it and leaves every other
//     item as it was, in order; only a separator left at the end goes too;
//   - uninstalling right after installing an absent item gives back the list
//     without a separator at its end.
// Items that hold the separator span several items of the list; for them
// only install is checked.

#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "registry/item_list.h"

namespace {

using Items = std::vector<std::string>;

Items Split(std::string_view list, std::string_view separator) {
  Items items;
  for (size_t at; (at = list.find(separator)) != std::string_view::npos;) {
    items.emplace_back(list.substr(0, at));
    list.remove_prefix(at + separator.size());
  }
  items.emplace_back(list);
  return items;
}

std::string Join(const Items& items, std::string_view separator) {
  std::string list;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) list += separator;
    list += items[i];
  }
  return list;
}

std::string WithoutEndSeparator(std::string list, std::string_view separator) {
  if (list.ends_with(separator)) list.resize(list.size() - separator.size());
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // The tool's separator, or a two-byte one that cannot overlap itself.
  const std::string separator = input.ConsumeBool() ? ";" : ", ";
  const std::string item = input.ConsumeRandomLengthString(32);
  const std::string list = input.ConsumeRemainingBytesAsString();

  std::string added = list;
  const bool addChanged = AddItem(added, item, separator);
  std::string addedTwice = added;
  FUZZ_CHECK(!AddItem(addedTwice, item, separator));
  FUZZ_CHECK(addedTwice == added);
  std::string removed = list;
  const bool removeChanged = RemoveItem(removed, item, separator);
  FUZZ_CHECK(addChanged == (added != list));
  FUZZ_CHECK(removeChanged == (removed != list));

  if (item.empty()) {
    FUZZ_CHECK(!addChanged && !removeChanged);
    return 0;
  }
  const size_t found = FindItem(list, item, separator);
  FUZZ_CHECK(addChanged == (found == std::string::npos));
  FUZZ_CHECK(removeChanged == (found != std::string::npos));
  if (addChanged) {
    const bool joined = list.empty() || list.ends_with(separator);
    FUZZ_CHECK(added == list + (joined ? "" : separator) + item);
  }
  // An item that holds the separator is several items, and the first run of
  // them may start before the one just added: "a;b;a" added to "a;b;" and
  // taken out again leaves "b;a".
  if (item.find(separator) != std::string::npos) return 0;
  if (addChanged) {
    std::string back = added;
    FUZZ_CHECK(RemoveItem(back, item, separator));
    FUZZ_CHECK(back == WithoutEndSeparator(list, separator));
  }

  // The item is one of the list's items: the model decides.
  const Items items = Split(list, separator);
  size_t index = 0;
  while (index < items.size() && items[index] != item) ++index;
  FUZZ_CHECK((index < items.size()) == (found != std::string::npos));
  if (index == items.size()) return 0;
  Items kept = items;
  kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(index));
  const bool wasLast = index + 1 == items.size();
  std::string expected = Join(kept, separator);
  if (!wasLast) expected = WithoutEndSeparator(expected, separator);
  FUZZ_CHECK(removed == expected);  // and so no other item changed
  return 0;
}
