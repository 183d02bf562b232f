/* The least a launcher can do: load the client library and call its entry function.
   usage: launch_reference LIBRARY FUNCTION */
#include <dlfcn.h>
#include <stdio.h>

typedef int (*EntryFunction)(const unsigned short *);

int main(int argc, char **argv)
{
    static const unsigned short empty[1] = {0};
    if (argc != 3)
        return 2;
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    EntryFunction entry = library ? (EntryFunction)dlsym(library, argv[2]) : NULL;
    if (!entry) {
        fprintf(stderr, "launch_reference: %s\n", dlerror());
        return 1;
    }
    return entry(empty);
}
