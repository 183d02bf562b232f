#pragma once

// What start-up hands the rest of the process to: called with the command line tail as a
// zero-terminated UTF-16 string; its result is the exit code. The client's exported entry
// function has exactly this form.
using CommandHandler = int (*)(const char16_t *commandLineTail);
