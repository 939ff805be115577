// The messages between the documents and the host, as JSON text:
//   a call       {"id": 7, "call": "GetWorkFlag", "args": []}
//   its answer   {"id": 7, "handled": true, "value": 0}
//   a refusal    {"id": 7, "handled": false, "error": "..."}   (also for what cannot be read)
//   a notice     {"notify": "SetWorkEnd", "args": [4, 0, 0]}
// Text from the documents is untrusted: it is parsed with limits, and any
// fault gives an error, never more.
#pragma once

#include "bridge/UiChannel.h"

#include <string>
#include <string_view>

namespace host {

// Arrays and objects nest at most this deep in a message (the message's own
// object counts).
constexpr int kMaxNesting = 64;

struct CallMessage {
    std::string id = "null";  // the call's id as JSON text (a number or a short text), echoed in the answer
    std::string name;
    bridge::Values args;
};

// False, with the reason, for text that is no call; `call.id` is then the
// id when one could be read.
bool ParseCall(std::string_view text, CallMessage& call, std::string& error);

std::string AnswerText(const std::string& id, bool handled, const bridge::Value& value);
std::string RefusalText(const std::string& id, const std::string& error);
std::string NotificationText(const std::string& name, const bridge::Values& args);

}  // namespace host
