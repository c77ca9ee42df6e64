// Starts another program (Graphviz dot) with an argument list and waits for it.
// No shell comes in between, so file names reach the program exactly as given:
// quotes, `$(...)`, `&` or `;` in them are plain characters.
#pragma once

#include <string>
#include <vector>

namespace varnel::inspect {

struct ProgramOutcome {
  bool started = false;    // false: the program could not be started at all
  bool not_found = false;  // not started because no such program is on PATH
  int exit_code = -1;      // the program's exit status once started
  std::string error;       // why it did not start
};

// Runs `arguments[0]`, looked up on PATH, with the rest as its arguments. The
// program shares this process's standard streams.
ProgramOutcome run_program(const std::vector<std::string>& arguments);

}  // namespace varnel::inspect
