// privacy_screen_holder DISPLAY [--fork]: a process that turns the real privacy screen on, says
// "on", and turns it off again, saying "off", at a line "off" on its standard input. Built beside
// the gamma watchdog, as the host is, so that the tests can end it the hard way. With --fork it
// leaves a child holding a copy of every descriptor, as a forked helper of the host would.
#include <unistd.h>

#include <iostream>
#include <string>

#include "Ombrel_Remote_Host/linux/x11/x11_gamma_tables.h"
#include "Ombrel_Remote_Host/screen/privacy_screen.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  auto tables = ombrel::X11GammaTables::open(argv[1]);
  if (!tables) return 1;
  ombrel::PrivacyScreen screen(std::move(tables));
  screen.set(true);
  if (argc > 2 && std::string(argv[2]) == "--fork" && fork() == 0) {
    for (;;) pause();
  }
  std::cout << "on" << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "off") break;
  }
  screen.set(false);
  std::cout << "off" << std::endl;
  return 0;
}
