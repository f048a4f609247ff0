#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

TEST(CFObjects, MakesStringsAndFileUrls) {
    CFStringRef s = CFStringCreateWithCString(
        kCFAllocatorDefault, "/tmp/caf\xc3\xa9 \xf0\x9f\x8e\xb5.wav", kCFStringEncodingUTF8);
    ASSERT_NE(s, nullptr);
    CFURLRef u = CFURLCreateWithFileSystemPath(kCFAllocatorDefault, s, kCFURLPOSIXPathStyle, false);
    EXPECT_NE(u, nullptr);
    CFRelease(s);
    CFRelease(u);
    CFStringRef a = CFStringCreateWithCString(kCFAllocatorDefault, "plain", kCFStringEncodingASCII);
    EXPECT_NE(a, nullptr);
    CFRelease(a);
}

TEST(CFObjects, RefusesWhatItCannotRepresent) {
    const char *bad[] = {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "abc\x80", "\xe2\x82"};
    for (const char *b : bad)
        EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, b, kCFStringEncodingUTF8), nullptr)
            << b;
    EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, "caf\xc3\xa9", kCFStringEncodingASCII),
              nullptr);
    EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, "x", 0x0201 /* some other encoding */),
              nullptr);
    EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, nullptr, kCFStringEncodingUTF8),
              nullptr);

    CFStringRef s =
        CFStringCreateWithCString(kCFAllocatorDefault, "C:\\x.wav", kCFStringEncodingUTF8);
    EXPECT_EQ(CFURLCreateWithFileSystemPath(kCFAllocatorDefault, s, kCFURLWindowsPathStyle, false),
              nullptr);
    CFRelease(s);
    CFStringRef empty = CFStringCreateWithCString(kCFAllocatorDefault, "", kCFStringEncodingUTF8);
    EXPECT_EQ(
        CFURLCreateWithFileSystemPath(kCFAllocatorDefault, empty, kCFURLPOSIXPathStyle, false),
        nullptr);
    CFRelease(empty);
    EXPECT_EQ(
        CFURLCreateWithFileSystemPath(kCFAllocatorDefault, nullptr, kCFURLPOSIXPathStyle, false),
        nullptr);
    CFRelease(nullptr);
}
