#include "info/d88info.h"

int main(int argc, char** argv) { return d88::RunD88Info(argc, argv); }
