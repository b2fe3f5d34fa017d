// A message and a part stream for the rule engine's tests: a CMessage built
// from plain values (subject, body texts, parts with name, type, state, TNEF
// and nested flags and content bytes) and a CMessageStream over a byte vector.
// The message counts the streams it hands out and takes back, so a test can
// check that the engine gives every stream back, and it records what the
// engine asked of it.
#ifndef VANTRY_TESTS_FILTER_TESTMESSAGE_H
#define VANTRY_TESTS_FILTER_TESTMESSAGE_H

#include "filter/Kessla.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace vtest {

// How a test stream behaves when read.
struct StreamBehaviour {
    // At most this many bytes per Read call (0: as many as asked).
    int maxChunk = 0;
    // When false, AtEnd stays false after a short read until the position has
    // really reached the end (a stream that does not keep the contract's
    // "true after any short read").
    bool atEndAfterShortRead = true;
    // When true, AtEnd never turns true at all.
    bool neverAtEnd = false;
    // Safety net for tests of faulty searches: after this many Read calls the
    // stream yields nothing more and records that it was overrun.
    long readLimit = 10000000;
};

class TestStream final : public CMessageStream {
public:
    TestStream(const std::vector<char>& bytes, const StreamBehaviour& behaviour)
        : CMessageStream(), bytes_(bytes), behaviour_(behaviour) {}
    ~TestStream() = default;

    long Tell() override { return pos_; }

    int Read(char* buffer, int size, int count) override {
        ++reads;
        if (reads > behaviour_.readLimit) {
            overrun = true;
            return 0;
        }
        if (size <= 0 || count <= 0)
            return 0;
        long want = static_cast<long>(size) * count;
        if (behaviour_.maxChunk > 0 && want > behaviour_.maxChunk)
            want = behaviour_.maxChunk;
        long left = static_cast<long>(bytes_.size()) - pos_;
        if (left < 0)
            left = 0;
        long n = std::min(want, left);
        if (n > 0)
            memcpy(buffer, bytes_.data() + pos_, static_cast<size_t>(n));
        pos_ += n;
        bytesRead += n;
        shortRead_ = n < static_cast<long>(size) * count;
        return static_cast<int>(n);
    }

    void Seek(long offset) override {
        ++seeks;
        pos_ = offset < 0 ? 0 : offset;
        shortRead_ = false;
    }

    int AtEnd() override {
        if (behaviour_.neverAtEnd)
            return 0;
        if (pos_ >= static_cast<long>(bytes_.size()))
            return 1;
        return behaviour_.atEndAfterShortRead && shortRead_ ? 1 : 0;
    }

    unsigned long GetLength() override { return static_cast<unsigned long>(bytes_.size()); }

    long reads = 0;
    long seeks = 0;
    long bytesRead = 0;
    bool overrun = false;

private:
    const std::vector<char>& bytes_;
    StreamBehaviour behaviour_;
    long pos_ = 0;
    bool shortRead_ = false;
};

struct TestPart {
    std::string name;
    int type = 0;
    int state = 0;
    int tnef = 0;
    int nested = 0;
    std::vector<char> content;
    // When true, OpenPartStream gives null for this part.
    bool noStream = false;
    StreamBehaviour behaviour;
    // When not negative, GetPartSize reports this instead of the content size.
    long reportedSize = -1;
};

class TestMessage : public CMessage {
public:
    TestMessage() : CMessage() {}
    ~TestMessage() {
        for (TestStream* s : live_)
            delete s;
    }
    TestMessage(const TestMessage&) = delete;
    TestMessage& operator=(const TestMessage&) = delete;

    // --- building the message ---
    TestMessage& Subject(const std::string& s) {
        subject_ = s;
        hasSubject_ = true;
        return *this;
    }
    TestMessage& Body(const std::string& s) {
        bodies_.push_back(s);
        bodyNull_.push_back(false);
        return *this;
    }
    TestMessage& NullBody() {
        bodies_.emplace_back();
        bodyNull_.push_back(true);
        return *this;
    }
    TestPart& AddPart(const std::string& name, int type, const std::string& content = "") {
        parts_.emplace_back();
        parts_.back().name = name;
        parts_.back().type = type;
        parts_.back().content.assign(content.begin(), content.end());
        return parts_.back();
    }
    TestPart& Part(int i) { return parts_[static_cast<size_t>(i)]; }

    // --- what the engine did ---
    int opens = 0;
    int closes = 0;
    int foreignCloses = 0; // streams given back that this message never made
    int headerCalls = 0;
    int otherHeaderCalls = 0; // GetHeaderText with anything but 1
    std::vector<int> openedParts;
    std::vector<std::string> decodeRaw; // every raw value given to DecodeName
    std::vector<int> errorCodes;        // every ReportError code
    std::vector<unsigned long> errorSystem;
    std::vector<long> streamReads; // Read calls of each stream, as closed
    std::vector<long> streamBytes; // bytes read from each stream, as closed
    bool anyOverrun = false;

    bool AllStreamsReturned() const { return live_.empty() && foreignCloses == 0; }

    // --- CMessage ---
    CMessageStream* OpenPartStream(int part) override {
        if (!Valid(part) || parts_[static_cast<size_t>(part)].noStream)
            return nullptr;
        TestPart& p = parts_[static_cast<size_t>(part)];
        TestStream* s = new TestStream(p.content, p.behaviour);
        live_.insert(s);
        ++opens;
        openedParts.push_back(part);
        return s;
    }

    void ClosePartStream(CMessageStream* stream) override {
        TestStream* s = static_cast<TestStream*>(stream);
        auto it = live_.find(s);
        if (it == live_.end()) {
            ++foreignCloses;
            return;
        }
        ++closes;
        streamReads.push_back(s->reads);
        streamBytes.push_back(s->bytesRead);
        anyOverrun = anyOverrun || s->overrun;
        live_.erase(it);
        delete s;
    }

    char* GetHeaderText(int which) override {
        ++headerCalls;
        if (which != 1) {
            ++otherHeaderCalls;
            return nullptr;
        }
        return hasSubject_ ? &subject_[0] : nullptr;
    }

    void* GetHeader(int) override { return nullptr; }

    // Strips surrounding quotation marks and the line's end from the raw
    // value; "a;b" style lists become NUL-separated strings. Never writes
    // beyond strlen(raw) + 1 bytes.
    void DecodeName(char* out, const char* raw) override {
        decodeRaw.emplace_back(raw);
        size_t room = strlen(raw) + 1;
        size_t o = 0;
        for (const char* p = raw; *p && o + 1 < room; ++p) {
            if (*p == '"' || *p == '\r' || *p == '\n')
                continue;
            out[o++] = *p == ';' ? '\0' : *p;
        }
    }

    int GetBodyTextCount() override { return static_cast<int>(bodies_.size()); }

    char* GetBodyText(int index) override {
        if (index < 0 || static_cast<size_t>(index) >= bodies_.size() ||
            bodyNull_[static_cast<size_t>(index)])
            return nullptr;
        return &bodies_[static_cast<size_t>(index)][0];
    }

    int GetPartCount() override { return static_cast<int>(parts_.size()); }

    char* GetPartName(int part) override {
        if (!Valid(part))
            return empty_;
        return &parts_[static_cast<size_t>(part)].name[0];
    }

    int GetPartType(int part) override {
        return Valid(part) ? parts_[static_cast<size_t>(part)].type : 0;
    }
    int IsPartTNEF(int part) override {
        return Valid(part) ? parts_[static_cast<size_t>(part)].tnef : 0;
    }
    int HasNestedMime(int part) override {
        return Valid(part) ? parts_[static_cast<size_t>(part)].nested : 0;
    }
    int GetPartState(int part) override {
        return Valid(part) ? parts_[static_cast<size_t>(part)].state : 0;
    }

    unsigned long GetPartSize(int part, int) override {
        if (!Valid(part))
            return 0;
        const TestPart& p = parts_[static_cast<size_t>(part)];
        return p.reportedSize >= 0 ? static_cast<unsigned long>(p.reportedSize)
                                   : static_cast<unsigned long>(p.content.size());
    }

    void ReportError(int code, unsigned long systemError) override {
        errorCodes.push_back(code);
        errorSystem.push_back(systemError);
    }

private:
    bool Valid(int part) const { return part >= 0 && static_cast<size_t>(part) < parts_.size(); }

    std::string subject_;
    bool hasSubject_ = false;
    std::vector<std::string> bodies_;
    std::vector<bool> bodyNull_;
    std::deque<TestPart> parts_; // a deque keeps AddPart's references valid
    std::set<TestStream*> live_;
    char empty_[1] = {0};
};

} // namespace vtest

#endif
