// The commands diviv-host sends: names beside the recorder's numbers, and
// the words of a command line turned into one host message.
#pragma once

#include <string>
#include <vector>

#include "core/DR_shared.h"

namespace diviv_host {

// One command to send: its number and either an integer or a text parameter.
struct Request {
    int command = 0;
    int param = 0;
    bool has_text = false;
    std::string text;
};

// Parses the words after the queue ids ("status", "rec on", "105 80",
// "id1 CAR-0042"). False with `error` set when the words name no command
// or its parameter is missing or malformed.
bool ParseRequest(const std::vector<std::string>& words, Request* request, std::string* error);

// The 64-byte message text of a request: the command in bytes 0-3, then the
// integer parameter in bytes 4-7 or the text from byte 4 on ending with a
// zero byte (at most 59 characters are kept). The rest is zero.
commsg_t Encode(const Request& request);

// The acknowledgement the recorder answers a command with.
int ExpectedEcho(int command);

// The name of a command number for printing ("status"), or "" if it has none.
std::string CommandName(int command);

// The list of names with their numbers and parameters, for --help.
std::string NamesHelp();

// Parses a queue id: "0x1a" and ids with hex letters ("8001a", the way the
// recorder's command line writes them) are hexadecimal, plain digits
// decimal. False unless the whole word is a non-negative id.
bool ParseQueueId(const std::string& word, int* qid);

}  // namespace diviv_host
