#pragma once

#include <cstdarg>
#include <string>

// printf-style formatting into a string; an encoding error gives an empty string.
std::string format_text(const char* format, std::va_list args);
