// Holds a file open, as the host holds its price list while it runs, until its standard input closes.
// Prints "held" once the file is open, or "failed <error>" and exits 1.
#include <windows.h>

#include <stdio.h>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: hold-file PATH\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        printf("failed %lu\n", GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);

    char buffer[64];
    DWORD read;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0)
    {
    }
    CloseHandle(file);
    return 0;
}
