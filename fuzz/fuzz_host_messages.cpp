// What reaches the UI host from outside the program: a document's messages
// (JSON text of any shape) and the names in its URLs; and the archive
// reader, over any bytes. None may crash, hang or read outside its input.
#include "host/Archive.h"
#include "host/Wire.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
    case 0: {
        host::CallMessage call;
        std::string error;
        if (host::ParseCall(rest, call, error)) {
            // What comes in goes back out as an answer.
            const std::string text = host::AnswerText(call.id, true, bridge::Value(call.args));
            host::CallMessage again;
            if (!host::ParseCall("{\"id\":1,\"call\":\"x\",\"args\":[" + text + "]}", again, error) &&
                error != "the message nests too deeply")
                __builtin_trap();
        }
        break;
    }
    case 1: {
        std::string path;
        host::AppArchivePath(rest, path);
        host::ResourceName resource;
        if (host::ResolveResourceUrl(rest, resource))
            host::ResourceKey(resource);
        host::ContentTypeOf(rest);
        break;
    }
    default: {
        host::Archive archive;
        if (archive.Open(data + 1, size - 1)) {
            std::string_view bytes;
            archive.Find("index.html", bytes);
        }
        break;
    }
    }
    return 0;
}
