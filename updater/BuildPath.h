// Text path builder for the updater's own code: parts joined with "/".
// Separators are not merged, so "dir/" and "file" give "dir//file".
#pragma once

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

// The first part, then "/" and each further part up to a null pointer:
// BuildPath(home, ".veltrina", "updater", nullptr). A null first part gives
// empty text.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

namespace buildpath_detail {

template <typename T>
concept Part = std::convertible_to<const T&, std::string_view> &&
               !std::same_as<std::remove_cvref_t<T>, std::nullptr_t>;

// A null char pointer ends the list, as in the C form.
template <typename T>
bool append(std::string& out, bool first, const T& part) {
    if constexpr (std::is_pointer_v<T>) {
        if (!part) return false;
    }
    if (!first) out += '/';
    out += std::string_view(part);
    return true;
}

}  // namespace buildpath_detail

// Type-checked form without a terminator, for std::string parts:
// BuildPath(root, serial, "attributes"). Chosen over the C form whenever a
// part is not a plain char pointer or no null terminator is given.
template <typename First, typename... Rest>
    requires buildpath_detail::Part<First> && (buildpath_detail::Part<Rest> && ...)
std::string BuildPath(const First& first, const Rest&... rest) {
    std::string out;
    if (buildpath_detail::append(out, true, first)) {
        (void)(buildpath_detail::append(out, false, rest) && ...);
    }
    return out;
}
