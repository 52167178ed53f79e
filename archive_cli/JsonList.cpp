#include "archive_cli/JsonList.h"

#include "archive_cli/Output.h"

namespace cli {

namespace {

// Names in an archive are bytes; invalid UTF-8 is replaced rather than failing the dump.
std::string text(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The fields of an object, indented as printJson indents them, without the braces.
std::string fields(const nlohmann::json& object) {
    std::string all = text(object, 2);
    return all.size() > 4 ? all.substr(2, all.size() - 4) : std::string();
}

}  // namespace

JsonList::JsonList(const nlohmann::json& head, const std::string& name) {
    std::string f = fields(head);
    writeOut("{\n" + f + (f.empty() ? "" : ",\n") + "  " + text(name, -1) + ": [");
}

void JsonList::add(const nlohmann::json& item) {
    writeOut((_first ? "\n    " : ",\n    ") + text(item, -1));
    _first = false;
}

void JsonList::finish(const nlohmann::json& tail) {
    std::string f = fields(tail);
    writeOut(std::string(_first ? "]" : "\n  ]") + (f.empty() ? "" : ",\n" + f) + "\n}\n");
}

}  // namespace cli
