// nelo: reports the ICMP and ICMPv6 messages of pcap capture files.
#include "app/driver.h"

int main(int argc, char** argv) {
  return nelo::run_nelo(argc, argv);
}
