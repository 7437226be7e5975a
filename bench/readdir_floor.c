/* The floor of listing a directory: a static program that reads every
 * entry of one directory and does nothing else. Any catalog has to pay this. */
#include <dirent.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  DIR* d = opendir(argv[1]);
  if (d == 0) return 1;
  while (readdir(d) != 0) {
  }
  closedir(d);
  return 0;
}
