// payload-pack IN OUT: packs one engine file into the LZMS container the program carries as a
// resource. Runs on the build machine.
#include <cstdio>
#include <string>

#include "tools/payload-pack/lzms_pack.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: payload-pack IN OUT\n");
        return 2;
    }
    std::string why;
    if (!packFile(argv[1], argv[2], why)) {
        std::fprintf(stderr, "payload-pack: %s\n", why.c_str());
        return 1;
    }
    return 0;
}
