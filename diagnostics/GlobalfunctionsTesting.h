#pragma once
// For tests only; the program never calls this.

// Puts every setting of the reporting service back to its built-in value,
// re-enables the console and drops the "LOG_FILE" lock object, so that the
// next file write creates it again (reading XDG_RUNTIME_DIR afresh).
void resetDiagnosticsForTesting();

// Called with the level of every entry writeLog writes, before its outputs;
// null: none.
void setEntryObserverForTesting(void (*observer)(int level));
