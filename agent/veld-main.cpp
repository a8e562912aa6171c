// The process entry: everything happens in the agent module.
#include "veld-agent.h"

int main(int argc, char **argv) { return VELDMain(argc, argv); }
