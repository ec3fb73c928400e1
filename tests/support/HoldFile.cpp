// Holds a file open, as the host holds its price list while it runs, until its standard input closes:
// with no sharing, or with "shared" as another program that reads it would (a scanner, an indexer).
// Prints "held" once the file is open, or "failed <error>" and exits 1.
#include <windows.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 2 && !(argc == 3 && strcmp(argv[2], "shared") == 0))
    {
        fprintf(stderr, "usage: hold-file PATH [shared]\n");
        return 2;
    }
    DWORD share = argc == 3 ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
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
