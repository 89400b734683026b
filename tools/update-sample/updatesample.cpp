// orvane-update-sample: what the cloud stand-in offers as a newer Orvane. It answers
// "--version" with "Orvane <version>" (the version is fixed when it is built) and ends; started
// any other way, for instance by Orvane's restart after it installed this in its own place, it
// says what it is and ends: it has no window.
#include <cstdio>
#include <cstring>

#ifndef SAMPLE_VERSION
#error "SAMPLE_VERSION must name the version the sample answers, e.g. \"7.5\""
#endif

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Orvane %s\n", SAMPLE_VERSION);
        return 0;
    }
    std::printf("orvane-update-sample: this stands in for Orvane %s, installed by Orvane's "
                "self-update from the cloud stand-in. It has no window; the Orvane it replaced is "
                "kept as %s.previous\n",
                SAMPLE_VERSION, argc > 0 ? argv[0] : "Orvane");
    return 0;
}
