// kelindex: builds, shows, rebuilds and compacts ISI index files.
#include "driver/driver.h"

int main(int argc, char** argv) {
  return KelindexMain(argc, argv);
}
