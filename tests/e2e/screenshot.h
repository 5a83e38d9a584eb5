// Screenshots of a window for the end-to-end tests, saved as BMP files.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

namespace tarvo::e2e {

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

// Saves the screen area of the window (with the balloon, which lies over it) as a BMP file.
inline void Screenshot(HWND form, const std::wstring& path) {
  RECT r;
  GetWindowRect(form, &r);
  r.left = std::max<LONG>(0, r.left - 4);
  r.top = std::max<LONG>(0, r.top - 4);
  r.right += 4;
  r.bottom += 4;
  int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  BITMAPINFOHEADER bi{};
  bi.biSize = sizeof(bi);
  bi.biWidth = w;
  bi.biHeight = h;
  bi.biPlanes = 1;
  bi.biBitCount = 24;
  bi.biCompression = BI_RGB;
  int stride = (w * 3 + 3) & ~3;
  std::string pixels(static_cast<size_t>(stride) * h, '\0');
  GetDIBits(mem, bmp, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof(fh) + sizeof(bi);
  fh.bfSize = static_cast<DWORD>(fh.bfOffBits + pixels.size());
  std::string file(reinterpret_cast<char*>(&fh), sizeof(fh));
  file.append(reinterpret_cast<char*>(&bi), sizeof(bi));
  file += pixels;
  WriteBytes(path, file);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
}

}  // namespace tarvo::e2e
