// Writes the double logarithm's reciprocal table (SpLnTableF64) as a C++ source: for j = 0..64
// the reciprocal c of 1 + j/64 rounded to a multiple of 2^-12, twice, then -ln(c) split into a
// high part cut down to a multiple of 2^-44 and the positive rest. The last row holds the two
// parts of ln 2 that the kernels use for the exponent, so that one exponent step and row 64
// cancel exactly. Computed in long double; every build writes the same bytes.
//
//   ln_table_gen OUT.cpp
#include "tools/gen/gen_output.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace
{

double FromBits(uint64_t bits)
{
    double d;
    memcpy(&d, &bits, sizeof(d));
    return d;
}

} // namespace

int main(int argc, char** argv)
{
    int failureExit = 0;
    FILE* out = OpenGeneratedSource(argc, argv, "tools/gen/ln_table_gen.cpp", &failureExit);
    if (!out)
    {
        return failureExit;
    }
    fprintf(out, "#include \"driver/primitives/vectors/sp_ln_levels.h\"\n\n");
    fprintf(out, "// Rows of {c, c, -ln(c) high part, -ln(c) low part}.\n");
    fprintf(out, "const double SpLnTableF64[65][4] = {\n");
    const double grid = std::ldexp(1.0, -44);
    for (int j = 0; j <= 64; ++j)
    {
        const double c = std::nearbyint(std::ldexp(1.0, 18) / (64 + j)) / 4096.0;
        const long double minusLn = -logl((long double)c);
        double hi = std::floor(double(minusLn) / grid) * grid;
        double lo = double(minusLn - (long double)hi);
        if (j == 0)
        {
            hi = lo = 0.0;
        }
        else if (j == 64)
        {
            hi = FromBits(0x3FE62E42FEFA37FDull);
            lo = FromBits(0x3D2EF35793C7672Eull);
        }
        fprintf(out, "    {%a, %a, %a, %a},\n", c, c, hi, lo);
    }
    fprintf(out, "};\n");
    return CloseGeneratedSource(out);
}
