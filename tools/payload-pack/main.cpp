// payload-pack IN OUT [DIGEST]: packs one engine file into the LZMS container the program carries
// as a resource, and writes the CRC-32 record of the original to DIGEST. Runs on the build machine.
#include <cstdio>
#include <string>

#include "tools/payload-pack/lzms_pack.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: payload-pack IN OUT [DIGEST]\n");
        return 2;
    }
    std::string why;
    if (!packFile(argv[1], argv[2], why, argc == 4 ? argv[3] : "")) {
        std::fprintf(stderr, "payload-pack: %s\n", why.c_str());
        return 1;
    }
    return 0;
}
