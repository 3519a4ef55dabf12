// For tests/screenshot.sh: starts uninst.exe, photographs its dialog with a small margin of the
// desktop into a BMP file, then closes the dialog as the close box does (nothing is uninstalled).
//   dialog_shot UNINST.EXE SHOT.BMP
#include <windows.h>

#include <stdio.h>

#include <string>

static const int Margin = 6;

static bool SaveBitmap(const RECT &rect, const char *path)
{
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = ((width * 3 + 3) & ~3) * height;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, (BITMAPINFO *)&header, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    bool copied = bits && BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    BITMAPFILEHEADER file{};
    file.bfType = 'B' | 'M' << 8;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + header.biSizeImage;
    FILE *out = copied ? fopen(path, "wb") : NULL;
    bool written = out && fwrite(&file, sizeof file, 1, out) == 1 && fwrite(&header, sizeof header, 1, out) == 1
                   && fwrite(bits, header.biSizeImage, 1, out) == 1;
    if (out)
        written = fclose(out) == 0 && written;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return written;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: dialog_shot UNINST.EXE SHOT.BMP\n");
        return 2;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION program;
    std::string commandLine = std::string("\"") + argv[1] + "\"";
    if (!CreateProcessA(argv[1], &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &program)) {
        fprintf(stderr, "dialog_shot: cannot start %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    HWND dialog = NULL;
    for (int i = 0; i < 500 && !(dialog = FindWindowA("#32770", "Uninstall IEEE754 Add-on Library")); i++)
        Sleep(20);
    if (!dialog) {
        fprintf(stderr, "dialog_shot: no dialog\n");
        TerminateProcess(program.hProcess, 1);
        return 1;
    }
    WaitForInputIdle(program.hProcess, 10000);
    // Wine activates a new process's first window before making it the foreground window, and
    // paints its caption inactive; activating it again paints it as Windows shows it.
    SetForegroundWindow(GetDesktopWindow());
    Sleep(200);
    SetForegroundWindow(dialog);
    Sleep(500);

    RECT rect;
    GetWindowRect(dialog, &rect);
    InflateRect(&rect, Margin, Margin);
    bool saved = SaveBitmap(rect, argv[2]);
    if (!saved)
        fprintf(stderr, "dialog_shot: cannot save %s\n", argv[2]);
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (WaitForSingleObject(program.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(program.hProcess, 1);
    CloseHandle(program.hProcess);
    CloseHandle(program.hThread);
    return saved ? 0 : 1;
}
