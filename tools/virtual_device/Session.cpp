#include "Session.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Torvi::VirtualDevice {

namespace {

constexpr const char* kHangUpWord = "hangup";
constexpr int kHexBase = 16;

class LineParser {
public:
    LineParser(const std::string& name, std::size_t number) : name(name), number(number) {}

    [[noreturn]] void Fail(const std::string& why) const {
        throw SessionError(name + ":" + std::to_string(number) + ": " + why);
    }

    void Header(std::istringstream& words) const {
        std::string format;
        std::string version;
        words >> format >> version;
        if (format != kSessionFormat) {
            Fail(std::string("not a session file (the first line must start with '") +
                 kSessionFormat + "')");
        }
        if (version != std::to_string(kSessionVersion)) {
            Fail("session format version '" + version + "' is not one this program reads (" +
                 std::to_string(kSessionVersion) + ")");
        }
    }

    SessionLine Chunk(std::istringstream& words) const {
        SessionLine line;
        line.number = number;
        std::string time_text;
        std::string arrow;
        words >> time_text >> arrow;
        char* end = nullptr;
        line.time = std::strtod(time_text.c_str(), &end);
        if (time_text.empty() || *end != '\0' || !std::isfinite(line.time) || line.time < 0.0) {
            Fail("'" + time_text + "' is not a time in seconds");
        }
        if (arrow == "!") {
            std::string word;
            std::string extra;
            words >> word >> extra;
            if (word != kHangUpWord || !extra.empty()) {
                Fail(std::string("'!' takes the one word ") + kHangUpWord);
            }
            line.direction = SessionLine::Direction::HangUp;
            return line;
        }
        std::string rest;
        std::getline(words, rest);
        if (arrow != ">" && arrow != "<") Fail("the direction must be >, < or !");
        line.direction =
            arrow == ">" ? SessionLine::Direction::ToDevice : SessionLine::Direction::ToHost;
        line.bytes = HexBytes(rest);
        return line;
    }

private:
    /// Pairs of hex digits, blanks between bytes allowed anywhere.
    Bytes HexBytes(const std::string& text) const {
        std::string digits;
        for (const char c : text) {
            if (std::isspace(static_cast<unsigned char>(c))) continue;
            if (!std::isxdigit(static_cast<unsigned char>(c))) Fail("'" + text + "' is not hex");
            digits += c;
        }
        if (digits.empty() || digits.size() % 2 != 0) {
            Fail("the bytes must be pairs of hex digits, at least one pair");
        }
        Bytes bytes;
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            bytes.push_back(
                static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, kHexBase)));
        }
        return bytes;
    }

    const std::string& name;
    std::size_t number;
};

} // namespace

Session ParseSession(const std::string& text, const std::string& name) {
    Session session;
    session.name = name;
    std::istringstream input(text);
    std::string line;
    bool header_seen = false;
    std::size_t number = 0;
    while (std::getline(input, line)) {
        ++number;
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || first[0] == '#') continue;
        words.seekg(0);
        const LineParser parser(name, number);
        if (!header_seen) {
            parser.Header(words);
            header_seen = true;
        } else {
            session.lines.push_back(parser.Chunk(words));
        }
    }
    if (!header_seen) LineParser(name, 1).Fail("empty: no session header");
    session.last_line = number;
    return session;
}

Session LoadSession(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw SessionError(path + ": cannot read it: " + std::strerror(errno));
    std::ostringstream text;
    text << file.rdbuf();
    return ParseSession(text.str(), path);
}

} // namespace Torvi::VirtualDevice
