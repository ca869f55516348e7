#pragma once
#include <string>

// Joins the first text and every further argument, up to a terminating nullptr, with "/".
// Nothing is merged or removed: "a/" and "b" give "a//b". Pass nullptr, never 0, as the end.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
