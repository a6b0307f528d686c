#include "record_line.h"

namespace {

// Each field's key with the closing quote of the text before it and the opening quote of its
// own value; last what ends the line.
std::array<std::string, kRecordFieldCount + 1> makeKeys() {
    std::array<std::string, kRecordFieldCount + 1> made;
    bool afterText = false;
    for (std::size_t i = 0; i < kRecordFieldCount; ++i) {
        const RecordFieldInfo &f = kRecordFields[i];
        made.at(i) = std::string(afterText ? "\"" : "") + (i == 0 ? "{" : ",") + "\"" + f.name +
                     "\":" + (f.text ? "\"" : "");
        afterText = f.text;
    }
    made.back() = std::string(afterText ? "\"" : "") + "}\n";
    return made;
}

const std::array<std::string, kRecordFieldCount + 1> &texts() {
    static const auto made = makeKeys();
    return made;
}

} // namespace

const std::string &csvHeader() {
    static const std::string header = [] {
        std::string text;
        for (const RecordFieldInfo &f : kRecordFields) {
            text += (text.empty() ? "" : ",") + std::string(f.name);
        }
        return text + "\n";
    }();
    return header;
}

const JsonKeys &jsonKeys() {
    static const JsonKeys views = [] {
        JsonKeys made;
        for (std::size_t i = 0; i < kRecordFieldCount; ++i) {
            made.at(i) = texts().at(i);
        }
        return made;
    }();
    return views;
}

std::string_view jsonLineEnd() {
    return texts().back();
}
