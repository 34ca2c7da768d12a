// telvorctl: the command-line control client of telvord.

#include <string_view>
#include <vector>

#include "client.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    return telvorctl::run(arguments);
}
