/* The floor of a CGI request: a static program that writes the smallest
 * catalog response and does nothing else. */
#include <stdio.h>

int main(void) {
  fputs("Status: 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n\r\n{\"repositories\":[]}\n", stdout);
  return 0;
}
