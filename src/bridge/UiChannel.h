// The bridge's one way to the UI: calling a named script function of the
// documents with a list of values, from any thread, in every document or in
// one. The host that carries the call (a local web host, or a test's
// recorder) implements it; the bridge knows nothing else of it.
#pragma once

#include "browse/ScriptValue.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace bridge {

using Value = browse::ScriptValue;
using Values = std::vector<browse::ScriptValue>;

// Which document made a call: every document the host serves has a number
// of its own for as long as it is connected. 0 stands for none in
// particular (a caller without documents, such as a test).
using DocumentId = std::uint64_t;

class UiChannel {
public:
    static constexpr std::size_t kGone = std::numeric_limits<std::size_t>::max();

    virtual ~UiChannel() = default;
    // Calls `function`(args) in every document. Returns once the call is on
    // its way; its result is not used. Must neither block for long nor fail
    // when no document is there to take it.
    virtual void Call(const std::string& function, Values args) = 0;
    // The same in one document only; nothing happens when it has gone.
    virtual void CallDocument(DocumentId, const std::string& function, Values args) { Call(function, std::move(args)); }
    // The bytes sent to `document` that it has not taken yet, kGone once it
    // has gone: a long stream of rows waits while a document lags behind.
    virtual std::size_t Backlog(DocumentId) { return 0; }
};

}  // namespace bridge
