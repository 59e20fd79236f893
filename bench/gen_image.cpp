// gen_image: writes a photo-like binary PPM, PGM or PBM image of any size
// to standard output, one row at a time, for the benchmarks.
//
//   gen_image width height [ppm|pgm|pbm] [seed]
//
// The picture is smooth shading with edges and a little noise, so that
// every codec and converter sees data like a photograph's.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static uint32_t next_random(uint32_t* state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

int main(int argc, char* argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: gen_image width height [ppm|pgm|pbm] [seed]\n");
        return 2;
    }
    long width = atol(argv[1]), height = atol(argv[2]);
    const char* kind = argc > 3 ? argv[3] : "ppm";
    uint32_t state = argc > 4 ? (uint32_t)atol(argv[4]) * 2654435761u + 1 : 12345;
    if (width <= 0 || height <= 0) {
        fprintf(stderr, "gen_image: bad size\n");
        return 2;
    }
    int channels = strcmp(kind, "ppm") == 0 ? 3 : 1;
    bool bilevel = strcmp(kind, "pbm") == 0;
    if (bilevel)
        printf("P4\n%ld %ld\n", width, height);
    else
        printf("P%d\n%ld %ld\n255\n", channels == 3 ? 6 : 5, width, height);

    std::vector<unsigned char> row(bilevel ? (size_t)(width + 7) / 8 : (size_t)width * channels);
    std::vector<double> wave(width);
    for (long x = 0; x < width; x++)
        wave[x] = std::sin(x * 6.283 / (width / 3.0 + 1));
    for (long y = 0; y < height; y++) {
        double vy = std::cos(y * 6.283 / (height / 2.0 + 1));
        std::fill(row.begin(), row.end(), 0);
        for (long x = 0; x < width; x++) {
            double base = 128 + 60 * wave[x] * vy + 40.0 * x / width - 30.0 * y / height;
            bool edge = ((x / 97) + (y / 89)) % 5 == 0;  // blocks of flat colour
            for (int c = 0; c < channels; c++) {
                double v = edge ? 40 + 70 * c : base + 25 * std::sin((x + 2 * y) * 0.01 * (c + 1));
                v += (int)(next_random(&state) % 9) - 4;
                int level = v < 0 ? 0 : v > 255 ? 255 : (int)v;
                if (bilevel) {
                    // Ordered dither of the grey level, 1 = black.
                    static const int matrix[4][4] = {
                        {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
                    if (level * 16 / 256 <= matrix[y & 3][x & 3])
                        row[x / 8] |= (unsigned char)(0x80 >> (x % 8));
                } else {
                    row[x * channels + c] = (unsigned char)level;
                }
            }
        }
        fwrite(row.data(), 1, row.size(), stdout);
    }
    return ferror(stdout) ? 1 : 0;
}
