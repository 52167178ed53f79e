// Sets an environment variable for the life of the object; TZ is read afresh after each change.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : _name(name) {
        if (const char* old = std::getenv(name)) _old = old;
        setenv(name, value.c_str(), 1);
        tzset();
    }
    ~ScopedEnv() {
        _old ? setenv(_name, _old->c_str(), 1) : unsetenv(_name);
        tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* _name;
    std::optional<std::string> _old;
};
