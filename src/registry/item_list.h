// Editing of one item in a list of items joined by a separator, such as
// "C:\a;C:\b". Items are matched whole and byte for byte: "b" is not in
// "a;bc", and taking "C:\x" out of "C:\x\y;C:\x" takes the second item.
#pragma once

#include <string>
#include <string_view>

// Position of the first whole-item occurrence of a non-empty `item` in `list`:
// it starts at the list's start or right after a separator and ends at the
// list's end or right before one. npos when there is none.
size_t FindItem(std::string_view list, std::string_view item, std::string_view separator);

// Appends `item`, after a separator unless `list` is empty or already ends
// with one, unless the item is present. Returns whether `list` changed.
// An empty item is never added.
bool AddItem(std::string& list, const std::string& item, const std::string& separator);

// Takes out the first whole occurrence of `item`, with the separator that
// followed it, and a separator left at the end. Returns whether `list`
// changed. An empty item is never removed.
bool RemoveItem(std::string& list, const std::string& item, const std::string& separator);
