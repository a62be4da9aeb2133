#pragma once

#include <string>

namespace dapplewick {

// A fresh random (version 4) UUID in its canonical 36-character form, lower case:
// "xxxxxxxx-xxxx-4xxx-Yxxx-xxxxxxxxxxxx", Y one of 8, 9, a, b. Throws std::runtime_error when the system's random
// source fails, which no identifier should silently survive.
std::string randomUUID();

}  // namespace dapplewick
