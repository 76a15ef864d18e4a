#pragma once

#include <string>

// The console of builds without a host: everything printed since the last clear.
const std::string& standin_console_text();
void standin_console_clear();
