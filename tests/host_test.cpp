// The UI host's own parts: the built-in archives and the rules by which the
// documents name their entries, the wire format, and where the host listens.
#include "host/Archive.h"
#include "host/WebHost.h"
#include "host/Wire.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using bridge::Value;
using bridge::Values;

// An archive of our format with the given entries, as PackArchive.cmake writes one.
std::vector<unsigned char> MakeArchive(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::vector<unsigned char> out = {'S', 'A', 'r', 0};
    auto put32 = [&out](std::size_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    put32(1);
    put32(entries.size());
    std::size_t nameAt = 12 + 16 * entries.size();
    std::size_t names = 0;
    for (const auto& e : entries)
        names += e.first.size();
    std::size_t dataAt = nameAt + names;
    for (const auto& [name, data] : entries) {
        put32(nameAt);
        put32(name.size());
        put32(dataAt);
        put32(data.size());
        nameAt += name.size();
        dataAt += data.size();
    }
    for (const auto& e : entries)
        out.insert(out.end(), e.first.begin(), e.first.end());
    for (const auto& e : entries)
        out.insert(out.end(), e.second.begin(), e.second.end());
    return out;
}

TEST(HostArchive, TheBuiltInDocumentsAndResourcesOpen)
{
    host::Archive ui;
    ASSERT_TRUE(ui.Open(host::kUiArchive, host::kUiArchiveSize));
    std::string_view index;
    ASSERT_TRUE(ui.Find("index.html", index));
    EXPECT_NE(index.find("app.js"), std::string_view::npos);
    EXPECT_FALSE(ui.Find("missing.html", index));
    host::Archive resources;
    ASSERT_TRUE(resources.Open(host::kResourceArchive, host::kResourceArchiveSize));
    std::string_view about;
    EXPECT_TRUE(resources.Find("23/ABOUT", about));
    EXPECT_TRUE(resources.Find("SVG/LOGO", about));
}

TEST(HostArchive, DamagedArchivesOpenEmpty)
{
    const auto good = MakeArchive({{"a.txt", "hello"}, {"sub/b.css", "x"}});
    host::Archive archive;
    ASSERT_TRUE(archive.Open(good.data(), good.size()));
    std::string_view bytes;
    ASSERT_TRUE(archive.Find("sub/b.css", bytes));
    EXPECT_EQ(bytes, "x");

    // Cut short anywhere, the table points past the end: nothing opens.
    for (std::size_t size = 0; size < good.size(); ++size) {
        host::Archive cut;
        EXPECT_FALSE(cut.Open(good.data(), size)) << size;
    }
    auto beyond = good;
    beyond[12 + 16 + 12] = 200;  // the second entry's data length
    EXPECT_FALSE(archive.Open(beyond.data(), beyond.size()));
    EXPECT_EQ(archive.Count(), 0u);
    auto manyEntries = good;
    manyEntries[8] = 0xFF;
    manyEntries[9] = 0xFF;
    EXPECT_FALSE(archive.Open(manyEntries.data(), manyEntries.size()));
    auto wrongMagic = good;
    wrongMagic[3] = '!';
    EXPECT_FALSE(archive.Open(wrongMagic.data(), wrongMagic.size()));
}

TEST(HostArchive, AppUrlsNameTheirEntry)
{
    std::string path;
    ASSERT_TRUE(host::AppArchivePath("this://app/index.html", path));
    EXPECT_EQ(path, "index.html");
    ASSERT_TRUE(host::AppArchivePath("this://app//index.html", path));
    EXPECT_EQ(path, "index.html");
    ASSERT_TRUE(host::AppArchivePath("this://app///index.html", path));
    EXPECT_EQ(path, "index.html");
    ASSERT_TRUE(host::AppArchivePath("this://app/img/a.png", path));
    EXPECT_EQ(path, "img/a.png");
    EXPECT_FALSE(host::AppArchivePath("file:///etc/passwd", path));
    EXPECT_FALSE(host::AppArchivePath("this://apps/index.html", path));
}

TEST(HostArchive, ResourceUrlsFollowTheResourceRules)
{
    struct Case {
        const char* url;
        const char* name;
        const char* type;
    } cases[] = {
        {"res:logo.png", "LOGO", "PNG"},       {"res:main", "MAIN", "23"},
        {"res:main.htm", "MAIN", "23"},        {"res://main.htm", "MAIN", "23"},
        {"res:res:main.HTML", "MAIN", "23"},   {"res:res://main.html", "MAIN", "23"},
        {"res:archive.tar.gz", "ARCHIVE.TAR", "GZ"},
    };
    for (const Case& c : cases) {
        host::ResourceName resource;
        ASSERT_TRUE(host::ResolveResourceUrl(c.url, resource)) << c.url;
        EXPECT_EQ(resource.name, c.name) << c.url;
        EXPECT_EQ(resource.type, c.type) << c.url;
    }
    host::ResourceName resource;
    EXPECT_FALSE(host::ResolveResourceUrl("res:", resource));
    EXPECT_FALSE(host::ResolveResourceUrl("res://", resource));
    EXPECT_FALSE(host::ResolveResourceUrl("res:.png", resource));
    EXPECT_FALSE(host::ResolveResourceUrl("http://main.htm", resource));
    // 259 characters fit the name buffer with its terminating zero; 260 do not.
    EXPECT_TRUE(host::ResolveResourceUrl("res:" + std::string(255, 'a') + ".png", resource));
    EXPECT_FALSE(host::ResolveResourceUrl("res:" + std::string(256, 'a') + ".png", resource));
    EXPECT_EQ(host::ResourceKey({"LOGO", "PNG"}), "PNG/LOGO");
    EXPECT_EQ(host::ContentTypeOf("app.js"), "text/javascript; charset=utf-8");
    EXPECT_EQ(host::ResourceContentType("23"), "text/html; charset=utf-8");
    EXPECT_EQ(host::ContentTypeOf("noextension"), "application/octet-stream");
}

TEST(HostWire, CallsAreReadWithTheirIdsAndArguments)
{
    host::CallMessage call;
    std::string error;
    ASSERT_TRUE(host::ParseCall(R"({"id":7,"call":"GetPathFiles","args":["t1","Docs\\",1.0,2.5,null,true,{"a":[1]}]})",
                                call, error));
    EXPECT_EQ(call.id, "7");
    EXPECT_EQ(call.name, "GetPathFiles");
    ASSERT_EQ(call.args.size(), 7u);
    EXPECT_EQ(call.args[0], Value("t1"));
    EXPECT_EQ(call.args[1], Value("Docs\\"));
    EXPECT_EQ(call.args[2], Value(1));   // a whole number written with a point
    EXPECT_TRUE(call.args[3].IsUndefined());  // a fraction reads as no integer
    EXPECT_TRUE(call.args[4].IsUndefined());
    EXPECT_EQ(call.args[5], Value(true));
    EXPECT_EQ(call.args[6].Get("a"), Value(Value::Array {Value(1)}));
    ASSERT_TRUE(host::ParseCall(R"({"id":"x-1","call":"GetWorkFlag"})", call, error));
    EXPECT_EQ(call.id, "\"x-1\"");
    EXPECT_TRUE(call.args.empty());

    // Refusals keep the id when there is one.
    const char* bad[] = {"", "garbage", "[]", "{\"id\":3}", "{\"id\":3,\"call\":5}", "{\"id\":3,\"call\":\"X\",\"args\":{}}",
                         "{\"call\":\"X\",\"args\":[\"\xff\"]}"};
    for (const char* text : bad)
        EXPECT_FALSE(host::ParseCall(text, call, error)) << text;
    EXPECT_FALSE(host::ParseCall("{\"id\":3}", call, error));
    EXPECT_EQ(call.id, "3");
    EXPECT_FALSE(host::ParseCall("{\"id\":{\"x\":1},\"call\":5}", call, error));
    EXPECT_EQ(call.id, "null");  // only numbers and short texts are echoed
    // Nesting is bounded before anything is built.
    std::string deep = "{\"id\":1,\"call\":\"X\",\"args\":[" + std::string(100000, '[') + std::string(100000, ']') + "]}";
    EXPECT_FALSE(host::ParseCall(deep, call, error));
    EXPECT_EQ(error, "the message nests too deeply");
    std::string fine = "{\"id\":1,\"call\":\"X\",\"args\":[" + std::string(60, '[') + std::string(60, ']') + "]}";
    EXPECT_TRUE(host::ParseCall(fine, call, error));
}

TEST(HostWire, AnswersAndNoticesAreJsonWithDamagedNamesMended)
{
    EXPECT_EQ(host::AnswerText("7", true, Value(Value::Array {1, "a"})), R"({"id":7,"handled":true,"value":[1,"a"]})");
    EXPECT_EQ(host::AnswerText("\"x\"", false, Value()), R"({"id":"x","handled":false,"error":"not handled"})");
    // A name from a damaged volume that is no UTF-8 reaches the documents
    // with U+FFFD in place of the broken bytes.
    EXPECT_EQ(host::NotificationText("InReceiePathFiles", {Value("a\xff" "b"), Value(2)}),
              "{\"notify\":\"InReceiePathFiles\",\"args\":[\"a\xef\xbf\xbd" "b\",2]}");
    EXPECT_EQ(host::RefusalText("null", "bad \"thing\""), R"({"id":null,"handled":false,"error":"bad \"thing\""})");
}

TEST(HostWire, TextIsMendedAsAWholeRoundTripThroughUtf16Would)
{
    // The quoting mends malformed UTF-8 in one pass; a round trip through
    // UTF-16 says what it must give.
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<unsigned char>(seed >> 16);
    };
    const unsigned char alphabet[] = {'a', '"', '\\', '\n', 0x01, 0x7f, 0x80, 0xbf, 0xc0, 0xc3, 0xa9, 0xe2, 0x82,
                                      0xac, 0xed, 0xa0, 0xf0, 0x9f, 0x98, 0x80, 0xf4, 0x90, 0xff, 0xfe};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = next() % 12;
        for (int i = 0; i < length; ++i)
            text += static_cast<char>(next() % 2 ? alphabet[next() % sizeof alphabet] : next());
        const std::string mended = platform::Utf16ToUtf8(platform::Utf8ToUtf16(text));
        std::string expected = "\"";
        for (const char ch : mended) {
            const auto c = static_cast<unsigned char>(ch);
            if (c == '"' || c == '\\')
                expected += std::string("\\") + ch;
            else if (c == '\n')
                expected += "\\n";
            else if (c < 0x20 && c != '\r' && c != '\t') {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                expected += esc;
            } else if (c == '\r')
                expected += "\\r";
            else if (c == '\t')
                expected += "\\t";
            else
                expected += ch;
        }
        expected += '"';
        ASSERT_EQ(browse::JsonQuote(text), expected) << round;
    }
}

class NoHandler final : public host::WebHostHandler {
public:
    bool Call(bridge::DocumentId, const std::string&, const Values&, Value&) override { return false; }
    bool Serve(std::string_view, std::string_view&, std::string&) override { return false; }
    void DocumentsChanged(std::size_t) override {}
    void Signalled(int) override {}
};

TEST(HostListen, OnlyLoopbackAddressesAreServed)
{
    NoHandler handler;
    for (const char* address : {"0.0.0.0", "::", "192.168.1.10", "8.8.8.8", "localhost", "not an address"}) {
        host::WebHost web(handler);
        host::WebHostSettings settings;
        settings.address = address;
        std::string error;
        EXPECT_FALSE(web.Listen(settings, error)) << address;
        EXPECT_FALSE(error.empty());
    }
    host::WebHost web(handler);
    std::string error;
    ASSERT_TRUE(web.Listen({}, error)) << error;
    EXPECT_NE(web.Port(), 0);
    EXPECT_EQ(web.Token().size(), 64u);
    EXPECT_EQ(web.Url("app/index.html"),
              "http://127.0.0.1:" + std::to_string(web.Port()) + "/s/" + web.Token() + "/app/index.html");
    host::WebHost other(handler);
    ASSERT_TRUE(other.Listen({}, error));
    EXPECT_NE(other.Token(), web.Token());
    EXPECT_TRUE(host::IsUiAddress(web.Url("app/index.html")));
}

// A second instance opens the address it reads back only in the exact form
// the program writes: anything a forger could add is refused.
TEST(HostListen, OnlyTheProgramsOwnFormOfAddressIsTaken)
{
    const std::string token(64, 'a');
    EXPECT_TRUE(host::IsUiAddress("http://127.0.0.1:8123/s/" + token + "/app/index.html"));
    EXPECT_TRUE(host::IsUiAddress("http://127.0.0.1:65535/s/" + std::string(64, '0') + "/app/index.html"));
    for (const std::string& forged : {
             "http://127.0.0.1:80@attacker.example/s/" + token + "/app/index.html",
             "http://127.0.0.1.attacker.example:80/s/" + token + "/app/index.html",
             "http://127.0.0.1:65536/s/" + token + "/app/index.html",
             "http://127.0.0.1:0/s/" + token + "/app/index.html",
             "http://127.0.0.1:08123/s/" + token + "/app/index.html",
             "http://127.0.0.1:/s/" + token + "/app/index.html",
             "http://127.0.0.1:8123/s/" + std::string(64, 'A') + "/app/index.html",
             "http://127.0.0.1:8123/s/" + token.substr(1) + "/app/index.html",
             "http://127.0.0.1:8123/s/" + token + "/app/index.html\"><script>alert(1)</script>",
             "http://127.0.0.1:8123/s/" + token + "/app/index.html\n",
             "https://127.0.0.1:8123/s/" + token + "/app/index.html",
             "javascript:alert(1)//http://127.0.0.1:8123/s/" + token + "/app/index.html",
             std::string(),
         })
        EXPECT_FALSE(host::IsUiAddress(forged)) << forged;
}

}  // namespace
