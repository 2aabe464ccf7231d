// quorlan-trend: the trend-reporting service. See README.md.
#include "service/service.h"

int main(int argc, char** argv) { return quorlan::ServiceMain(argc, argv); }
