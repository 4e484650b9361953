#include "DriveRecording.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "H264TestKit.h"
#include "formats/AsfCrypt.h"
#include "formats/AsfRecorderInit.h"
#include "platform/VideoEncoder.h"
#include "platform/X264Encoder.h"

namespace drivetest {
namespace {

struct Picture {
    bool key;
    std::vector<uint8_t> bytes;
};

// The encoded pictures of one size, made once per size.
const std::vector<Picture>& Pictures(int width, int height, int count) {
    static std::map<std::pair<int, int>, std::vector<Picture>> cache;
    std::vector<Picture>& pics = cache[{width, height}];
    if (static_cast<int>(pics.size()) >= count) return pics;
    pics.clear();
    auto enc = diviv::MakeX264Encoder();
    diviv::VideoEncoderParams p;
    p.width = width;
    p.height = height;
    p.frame_rate = 30;
    p.bit_rate_kbps = 300;
    p.gop = 15;
    EXPECT_EQ(enc->Open(p), 0);
    std::vector<uint8_t> headers;
    for (auto type : {diviv::HeaderType::kSps, diviv::HeaderType::kPps}) {
        std::span<const uint8_t> h;
        EXPECT_EQ(enc->PutHeader(type, &h), 0);
        headers.insert(headers.end(), h.begin(), h.end());
    }
    std::vector<uint8_t> yuv;
    for (int i = 0; i < count; ++i) {
        h264kit::MovingPicture(width, height, i, &yuv);
        diviv::EncodedPicture pic;
        const bool key = i % p.gop == 0;
        EXPECT_EQ(enc->Encode(yuv, key, &pic), 0);
        std::vector<uint8_t> bytes = key ? headers : std::vector<uint8_t>{};
        bytes.insert(bytes.end(), pic.bytes.begin(), pic.bytes.end());
        pics.push_back({key, bytes});
    }
    enc->Close();
    return pics;
}

struct MuxCloser {
    void operator()(ASF_MUX_CONTEXT* c) const { ASF_Mux_Close(c); }
};

}  // namespace

void Write(const std::string& path, const Recording& r) {
    const std::vector<Picture>& pics = Pictures(r.width, r.height, r.pictures);
    auto setup = std::make_unique<AsfRecorderSetup>();
    MakeRecorderMuxInit(*setup, path.c_str(), r.width, r.height, 300000, 30,
                        AsfCreationDate(r.createdSeconds, r.createdMicros));
    std::unique_ptr<ASF_MUX_CONTEXT, MuxCloser> mux(ASF_Mux_Create(&setup->init));
    ASSERT_TRUE(mux) << path;
    auto write = [&](int type, const std::vector<uint8_t>& data, bool key, uint32_t pts) {
        ASF_MUX_DATA_INFO info{static_cast<uint8_t>(key ? 1 : 0), pts};
        ASSERT_EQ(ASF_Mux_WriteData(mux.get(), type, data.data(), static_cast<uint32_t>(data.size()), &info), 0);
    };
    size_t next = 0;
    auto recordsUpTo = [&](uint64_t t) {
        for (; next < r.records.size() && r.records[next].first <= t; ++next) {
            const std::string& s = r.records[next].second;
            write(ASF_MUX_DATA_TYPE_BINARY, std::vector<uint8_t>(s.begin(), s.end()), true, r.records[next].first);
        }
    };
    for (int n = 0; n < r.pictures; ++n) {
        const uint32_t vpts = static_cast<uint32_t>(n * 1000 / 30);
        recordsUpTo(vpts);
        std::vector<uint8_t> bytes = pics[static_cast<size_t>(n)].bytes;
        const bool key = pics[static_cast<size_t>(n)].key;
        if (key && r.scramble) CryptData(bytes.data(), bytes.data(), static_cast<uint32_t>(bytes.size()), r.pass.data());
        write(ASF_MUX_DATA_TYPE_VIDEO, bytes, key, vpts);
    }
    recordsUpTo(UINT64_MAX);
}

std::string Nmea(const std::string& body) {
    uint8_t sum = 0;
    for (char c : body) sum ^= static_cast<uint8_t>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void DriveTest::SetUp() {
    dir_ = std::filesystem::temp_directory_path() /
           ("diviv-drive-" + std::to_string(getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
}

void DriveTest::TearDown() { std::filesystem::remove_all(dir_); }

// ---- XML ----------------------------------------------------------------------

std::vector<const XmlNode*> XmlNode::All(const std::string& n) const {
    std::vector<const XmlNode*> found;
    if (name == n) found.push_back(this);
    for (const auto& c : children) {
        std::vector<const XmlNode*> more = c->All(n);
        found.insert(found.end(), more.begin(), more.end());
    }
    return found;
}

const XmlNode* XmlNode::First(const std::string& n) const {
    std::vector<const XmlNode*> all = All(n);
    return all.empty() ? nullptr : all.front();
}

const XmlNode* XmlNode::ById(const std::string& n, const std::string& id) const {
    for (const XmlNode* x : All(n))
        if (x->Attr("id") == id) return x;
    return nullptr;
}

std::string XmlNode::Attr(const std::string& key) const {
    auto it = attrs.find(key);
    return it == attrs.end() ? std::string() : it->second;
}

namespace {

bool NameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '-' || c == '_' || c == '.';
}

struct XmlParser {
    const std::string& d;
    size_t i = 0;
    std::string error;

    bool Fail(const std::string& why) {
        if (error.empty()) error = why + " at offset " + std::to_string(i);
        return false;
    }
    void Space() {
        while (i < d.size() && std::isspace(static_cast<unsigned char>(d[i]))) ++i;
    }
    bool Skip(const char* open, const char* close) {
        if (d.compare(i, std::strlen(open), open) != 0) return false;
        const size_t end = d.find(close, i);
        if (end == std::string::npos) return Fail(std::string("unclosed ") + open);
        i = end + std::strlen(close);
        return true;
    }
    std::string Name() {
        const size_t from = i;
        while (i < d.size() && NameChar(d[i])) ++i;
        return d.substr(from, i - from);
    }
    // An element starting at '<'.
    bool Element(XmlNode& node) {
        ++i;
        node.name = Name();
        if (node.name.empty()) return Fail("element without a name");
        for (;;) {
            Space();
            if (i >= d.size()) return Fail("unclosed start tag <" + node.name);
            if (d.compare(i, 2, "/>") == 0) {
                i += 2;
                return true;
            }
            if (d[i] == '>') {
                ++i;
                break;
            }
            const std::string key = Name();
            Space();
            if (key.empty() || i >= d.size() || d[i] != '=') return Fail("bad attribute in <" + node.name);
            ++i;
            Space();
            if (i >= d.size() || (d[i] != '"' && d[i] != '\'')) return Fail("unquoted attribute " + key);
            const char q = d[i++];
            const size_t end = d.find(q, i);
            if (end == std::string::npos) return Fail("unclosed attribute " + key);
            if (!node.attrs.emplace(key, d.substr(i, end - i)).second) return Fail("repeated attribute " + key);
            i = end + 1;
        }
        for (;;) {
            if (i >= d.size()) return Fail("unclosed element <" + node.name + ">");
            if (d.compare(i, 2, "</") == 0) {
                i += 2;
                const std::string closing = Name();
                Space();
                if (closing != node.name || i >= d.size() || d[i] != '>')
                    return Fail("</" + closing + "> closes <" + node.name + ">");
                ++i;
                return true;
            }
            if (Skip("<!--", "-->")) continue;
            if (!error.empty()) return false;
            if (d[i] == '<') {
                auto child = std::make_unique<XmlNode>();
                if (!Element(*child)) return false;
                node.children.push_back(std::move(child));
                continue;
            }
            node.text += d[i++];
        }
    }
};

}  // namespace

std::unique_ptr<XmlNode> ParseXml(const std::string& doc, std::string& error) {
    XmlParser p{doc, 0, {}};
    for (;;) {
        p.Space();
        if (p.Skip("<?", "?>") || p.Skip("<!DOCTYPE", ">") || p.Skip("<!--", "-->")) continue;
        break;
    }
    auto root = std::make_unique<XmlNode>();
    if (!p.error.empty() || p.i >= doc.size() || doc[p.i] != '<' || !p.Element(*root)) {
        error = p.error.empty() ? "no root element" : p.error;
        return nullptr;
    }
    p.Space();
    if (p.i != doc.size()) {
        error = "content after the root element at offset " + std::to_string(p.i);
        return nullptr;
    }
    return root;
}

}  // namespace drivetest
