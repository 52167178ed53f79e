// A JSON object written while it is made: its fields first, then one list whose items go out
// one at a time, so that a listing of a million entries never stands whole in memory.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace cli {

class JsonList {
  public:
    // Writes head's fields and opens the list under name.
    JsonList(const nlohmann::json& head, const std::string& name);
    // One item of the list, on a line of its own.
    void add(const nlohmann::json& item);
    // Closes the list, then the object with tail's fields.
    void finish(const nlohmann::json& tail = nlohmann::json::object());

  private:
    bool _first = true;
};

}  // namespace cli
