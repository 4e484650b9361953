// Recordings of a drive with known sensor records for the export and report
// tests: written with the recorder's ASF writer and configuration to a real
// file, with libx264 pictures (a key picture with its stream headers every
// 15), a chosen creation date and the text records at chosen times. And a
// small XML reader that judges the well-formedness of what export and report
// write.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <filesystem>

#include "MediaCommands.h"

namespace drivetest {

struct Recording {
    int64_t createdSeconds = 1700000000;  // creation date, seconds and microseconds since 1970
    int64_t createdMicros = 0;
    int pictures = 30;  // at 30 per second
    int width = 160, height = 120;
    bool scramble = false;
    media::PassCode pass{'9', '2', '7', '4'};
    std::vector<std::pair<uint32_t, std::string>> records;  // presentation time (ms), text with its line end
};

// Writes the recording to `path`; records are placed before the first
// picture at or after their time.
void Write(const std::string& path, const Recording& r);

// "$GPRMC,<body>*hh\r\n" with the checksum computed.
std::string Nmea(const std::string& body);

// A parsed XML (or polyglot XHTML) document.
struct XmlNode {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::string text;  // character data directly inside, entities left as written
    std::vector<std::unique_ptr<XmlNode>> children;

    // Every descendant (and this node) with the name, in document order.
    std::vector<const XmlNode*> All(const std::string& name) const;
    const XmlNode* First(const std::string& name) const;
    // The first descendant with the name and this id attribute, or null.
    const XmlNode* ById(const std::string& name, const std::string& id) const;
    std::string Attr(const std::string& key) const;
};

// Parses a document: one root element, every element closed in order,
// attribute values quoted, a prolog of <?…?> and <!DOCTYPE …> allowed.
// Null with the reason in `error` when not well-formed.
std::unique_ptr<XmlNode> ParseXml(const std::string& doc, std::string& error);

std::string ReadText(const std::string& path);

// A fresh folder per test, removed after it.
class DriveTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
};

}  // namespace drivetest
