// Text from a volume or a device made safe to print on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// `text` with every control character written as an escape: C0 controls and
// DEL as \xNN, the C1 controls (U+0080 to U+009F, which some terminals obey
// as well) as \u00NN, and a backslash that starts such an escape doubled. A
// crafted name can then neither drive the terminal nor split a row in two.
std::string Printable(std::string_view text);

}  // namespace cli
