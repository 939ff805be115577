// The bridge's one way to the UI: calling a named script function of the
// documents with a list of values, from any thread. The host that carries
// the call (a local web host, or a test's recorder) implements it; the
// bridge knows nothing else of it.
#pragma once

#include "browse/ScriptValue.h"

#include <string>
#include <vector>

namespace bridge {

using Value = browse::ScriptValue;
using Values = std::vector<browse::ScriptValue>;

class UiChannel {
public:
    virtual ~UiChannel() = default;
    // Calls `function`(args) in the documents. Returns once the call is on
    // its way; its result is not used. Must neither block for long nor fail
    // when no document is there to take it.
    virtual void Call(const std::string& function, Values args) = 0;
};

}  // namespace bridge
