// The scanning corpus (corpus/cases.txt: each message with a rule that must
// match it and one that must not) and the faulty messages built in code.
#ifndef VANTRY_TESTS_SCAN_SCANCORPUS_H
#define VANTRY_TESTS_SCAN_SCANCORPUS_H

#include "filter/Kessla.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vtest {

// A rule as cases.txt writes it: flags|primary[|secondary|proximity|and].
struct RuleSpec {
    unsigned short flags = 0;
    std::string primary;
    std::string secondary;
    int proximity = 0;
    int andFlag = 0;
};

inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(text);
    while (std::getline(in, field, separator))
        fields.push_back(field);
    return fields;
}

inline RuleSpec ParseRule(const std::string& text) {
    std::vector<std::string> f = Split(text, '|');
    RuleSpec rule;
    rule.flags = static_cast<unsigned short>(std::stoi(f.at(0)));
    rule.primary = f.at(1);
    if (f.size() >= 5) {
        rule.secondary = f[2];
        rule.proximity = std::stoi(f[3]);
        rule.andFlag = std::stoi(f[4]);
    }
    return rule;
}

struct CorpusCase {
    std::string file;
    RuleSpec match;
    RuleSpec noMatch;
    bool allParts = false; // "all": every part's content is searched
};

// Which messages: the project's own (in the corpus folder itself), the public
// samples (under public/), or both.
enum class Corpus { Own, Public, All };

inline std::vector<CorpusCase> ReadCorpus(Corpus which = Corpus::All) {
    std::vector<CorpusCase> cases;
    std::ifstream in(VANTRY_SCAN_CORPUS "/cases.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f = Split(line, '\t');
        CorpusCase c;
        c.file = f.at(0);
        c.match = ParseRule(f.at(1));
        c.noMatch = ParseRule(f.at(2));
        c.allParts = f.size() > 3 && f[3] == "all";
        bool isPublic = c.file.compare(0, 7, "public/") == 0;
        if (which == Corpus::All || isPublic == (which == Corpus::Public))
            cases.push_back(c);
    }
    return cases;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string CorpusFile(const std::string& name) {
    return ReadBytes(VANTRY_SCAN_CORPUS "/" + name);
}

// --- faulty messages ---

inline std::string Header(const std::string& subject) {
    return "From: a@example.com\r\nTo: b@example.com\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\n";
}

// depth levels of multipart/mixed, each holding the next; the innermost
// holds an attachment named deep.exe.
inline std::string NestedMultiparts(int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        std::string b = "b" + std::to_string(i);
        open += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n";
        close = "\r\n--" + b + "--\r\n" + close;
    }
    return Header("deep") + open +
           "Content-Type: application/octet-stream; name=\"deep.exe\"\r\n\r\nMZ" + close;
}

// depth nested messages (message/rfc822), each forwarding the next.
inline std::string NestedMessages(int depth) {
    std::string message = Header("innermost") +
                          "Content-Type: application/octet-stream; name=\"deep.exe\"\r\n\r\nMZ\r\n";
    for (int i = 0; i < depth; ++i)
        message = Header("fwd " + std::to_string(i)) +
                  "Content-Type: message/rfc822\r\n\r\n" + message;
    return message;
}

inline std::string WithAttachment(const std::string& headers, const std::string& body) {
    return Header("attachment") +
           "Content-Type: multipart/mixed; boundary=\"x\"\r\n\r\n--x\r\n"
           "Content-Type: text/plain\r\n\r\nSee the attachment.\r\n--x\r\n" +
           headers + "\r\n" + body + "\r\n--x--\r\n";
}

} // namespace vtest

#endif
