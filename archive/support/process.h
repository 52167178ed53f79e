// Starting external programs: viewer and diff tools, and the desktop's "open" action.
//
// No shell is ever involved. A command line is split into arguments by the Windows quoting
// rules and the program is started directly, so characters such as ';', '$(...)', '|' or '*'
// are just bytes of an argument. Programs are started without waiting; the platform layer
// reaps them once they end, so none stays behind as a zombie.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits a command line into arguments:
// - arguments are separated by blanks and tabs outside double quotes;
// - the first argument (the program) ends at the first blank outside quotes; its quotes
//   group and are dropped, and a backslash in it is an ordinary byte;
// - in the others, 2n backslashes before a '"' give n backslashes and the quote opens or
//   closes a quoted part; 2n+1 give n backslashes and a literal '"'; backslashes not before a
//   quote stay as they are; inside a quoted part "" gives one literal '"';
// - "" on its own is an empty argument.
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// Splits a tool's command template first, then replaces "%1" by file1 and "%2" by file2 inside
// each argument, in one pass from left to right: a file name is never rescanned and never
// split, so one that holds blanks or quotes stays exactly inside the argument the template
// put its placeholder in.
std::vector<std::string> expandCommandTemplate(std::string_view commandTemplate,
                                               std::string_view file1, std::string_view file2 = {});

// Starts argv[0] (searched in PATH when it has no '/') with the arguments, the caller's
// environment and current folder, without waiting. True if the program started.
bool startProcess(const std::vector<std::string>& argv);
// The same for a whole command line, split as above.
bool startProcess(const char* commandLine);
// Opens the file with the desktop's preferred program (xdg-open). True if xdg-open started.
bool shellOpen(const char* path);
