#include <cstdio>

// Placeholder until start-up dispatch lands: no role can run yet.
int main()
{
    std::fputs("Korvel: no installed client found and no installer available\n", stderr);
    return -1;
}
