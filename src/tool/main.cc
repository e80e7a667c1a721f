#include "tool/d88cut.h"

int main(int argc, char** argv) {
  d88::SetUpSignals();
  return d88::RunD88Cut(argc, argv);
}
