#include "filetypes/HeaderSignature.h"

#include <array>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace filetypes {
namespace {

// The signature rows: keys sharing the row, then its patterns from offset 0,
// separated by ";". A pattern is hex bytes, "??" for any byte, or "[LO-HI]"
// for a range; it scores its length unless "=N" gives another score.
struct Row {
    const char* keys;
    const char* patterns;
};

const Row kRows[] = {
    {"jpg jpeg jpe JPG", "FF D8 FF E0 00;FF D8 FF FE 00;89 50 4E 47;FF D8 FF"},
    {"PNG png", "89 50 4E 47 0D 0A 1A 0A;89 50 4E 47 0D 0A;89 50 4E 47;89 50 4E"},
    {"GIG gif GIF", "47 49 46 38 47 61;47 49 46 38 39 61;47 49 46 38 37 61;47 49 46 38"},
    {"BMP bmp", "42 4D 3E;42 4D"},
    {"dib", "42 4D"},
    {"tif", "49 49 2A 00;4D 4D 00 2B;4D 4D 00 2A;49 20 49"},
    {"TIFF TIF tiff", "4D 4D 00 2B;4D 4D 00 2A;49 20 49=4;49 49 2A 00;4D 4D 2A;49 49 2A"},
    {"psd PSD", "38 42 50 53;38 42 50"},
    {"ico", "00 00 01 00 01 00 20 20;00 00 01 00 00"},
    {"pdf fdf PDF", "25 50 44 46 2D 31 2E;25 50 44 46;25 50 44"},
    {"doc", "31 BE 00 00 00 AB 00 00;12 34 56 78 90 FF;12 34 56 78 90;0D 44 4F 43;7F FE 34 0A;D0 CF 11 E0"},
    {"dot ppa pps pot sdw xla", "D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0"},
    {"PPT ppt", "D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0;D0 CF 11"},
    {"xls XLS", "09 02 06 00 00 00 10 00 B9 04 5C 00;09 04 06 00 00 00 10 00 F6 05 5C 00;09 08 10 00 00 06 05 00;D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0;D0 CF 11"},
    {"msi", "D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0;23 20"},
    {"docx xlsx", "50 4B 03 04 14 00 06 00;50 4B 03 04"},
    {"pptx", "50 4B 03 04 14 00 06 00;00 6E 1E F0;0F 00 E8 03;50 4B 03 04"},
    {"Zip zip zipx ZIP", "50 4B 30 30 50 4B 03 04;50 4B 30 30;50 4B 03 04;50 4B 03"},
    {"rar RAR", "52 61 72 21;52 61 72"},
    {"7z", "37 7A BC AF 27 1C"},
    {"gz tgz", "1F 8B 08;1F 8B"},
    {"CAB", "49 53 63 28;4D 53 43 46;04 53 63"},
    {"rtf RTF", "7B 5C 72 74 66;7B 5C 72 74;7B 5C 72"},
    {"htm html HTM", "3C 68 74 6D 6C 3E;3C 48 54 4D 4C 3E;3C 21 44 4F 43 54;68 74 6D 6C 3E;3C 21 44"},
    {"xml XML", "FF FE 3C 00 52 00 4F 00 4F 00 54 00 53 00 54 00 55 00 42 00;3C 3F 78 6D 6C;3C 3F 78"},
    {"EML eml", "44 65 6C 69 76 65 72 79 2D 64 61 74 65 3A;46 72 6F 6D 20 3F 3F 3F;46 72 6F 6D 20 20 20;46 72 6F 6D 3A 20;52 65 63"},
    {"pst", "21 42 44 4E"},
    {"dbx", "CF AD 12 FE C5 FD 74 6F;CF AD 12 FE"},
    {"mp3", "49 44 33;FF [FA-FB]"},
    {"MP3", "49 FF 33;49 44 33;FF FB 50;FF [FA-FB]"},
    {"3gg 3gp 3g2", "00 00 00 ?? 66 74 79 70"},
    {"mp4", "00 00 00 18 66 74 79 70 33 67 70 35"},
    {"m4a m4v", "00 00 00 20 66 74 79 70 4D 34 41 20 00 00 00 00"},
    {"mov", "6D 6F 6F 76;6D 64 61 74"},
    {"MOV", "00 00 77;00 00 0F"},
    {"ANI avi", "52 49 46 46"},
    {"wav WAV", "57 41 56 45 66 6D 74;57 41 56 45;52 49 46 46;52 49 46"},
    {"asf", "30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C;30 26 B2 75 8E 66 CF 11"},
    {"WMV wmv", "30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C;30 26 B2 75 8E 66 CF 11;30 26 B2"},
    {"WMA wma", "30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C;30 36 B2"},
    {"mkv", "1A 45 DF A3 93 42 82 88 6D 61 74 72 6F 73 6B 61"},
    {"FLV", "46 4C 56 01"},
    {"mpg mpeg", "00 00 01 BA;00 00 01 B3"},
    {"vob", "00 00 01 BA=3"},
    {"rm rmvb RM", "2E 52 4D 46;2E 52 4D"},
    {"exe com ax sys dll drv flt fon ocx scr lrc vxd cpl x32 vbx", "00 01 01;4D 5A"},
    {"ACM CPL EXE PIF SYS FON QTS QTX SCR VBX VXD 386 DLL", "4D 5A"},
    {"API FLT", "4D 5A 90 00 03 00 00 00"},
    {"AX", "4D 5A 90 00 03 00 00 00;4D 5A"},
    {"arc", "41 72 43 01;1A [08-09];1A [02-04]"},
    {"LNK lnk", "4C 00 00 00 01 14 02 00;4C 00 00 00 01 14 02;4C 00 00 00;4C 00 00"},
    {"wks", "0E 57 4B 53;20 00 60 40 60=4"},
    {"eps", "25 21 50 53 2D 41 64 6F 62 65 2D 33 2E 30 20 45 50 53 46 2D 33 20 30;25 21 50 53 2D 41 64 6F 62 65;25 21 50 53"},
    {"msc MSC", "3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D 22 31 2E 30 22 3F 3E 0D 0A 3C 4D 4D 43 5F 43 6F 6E 73 6F 6C 65 46 69 6C 65 20 43 6F 6E 73 6F 6C 65 56 65 72 73 69 6F 6E 3D 22;3C 3F 78"},
    {"HDR dsp", ""},
    {"CRW", "49 49 1A 00 00 00 48 45 41 50 43 43 44 52 02 00"},
    {"mdb mda mde mdt", "00 01 00 00 53 74 61 6E 64 61 72 64 20 4A 65 74 20 44 42;53 74 61 6E 64 61 72 64 20 4A"},
    {"reg", "52 45 47 45 44 49 54 34"},
    {"cpio tar", "30 37 30 37 30 37;1F 8B"},
    {"Z z", "1F 9D 8C;1F 9D"},

    // The other extensions, from the formats' published signatures. An empty
    // row is an extension whose format has no fixed bytes in its first 56.
    {"123", "00 00 1A 00 05 10 04"},
    {"aba", "00 01 42 41"},
    {"abi", "41 4F 4C 49 4E 44 45 58;41 4F 4C"},
    {"aby idx", "41 4F 4C 44 42;41 4F 4C;50 00 00 00 20 00 00 00"},
    {"accdb", "00 01 00 00 53 74 61 6E 64 61 72 64 20 41 43 45 20 44 42"},
    {"ADF", "44 4F 53 00;44 4F 53"},
    {"adx", "03 00 00 00 41 50 50 52;80 00 00 20 03 12 04"},
    {"AIFF", "46 4F 52 4D 00;46 4F 52 4D"},
    {"ain", "21 12"},
    {"aim", ""},
    {"amr", "23 21 41 4D 52 0A;23 21 41 4D 52"},
    {"ARJ arj", "60 EA"},
    {"ART", "4A 47 03 0E;4A 47 04 0E"},
    {"asx xdr", "3C"},
    {"au", "2E 73 6E 64;64 6E 73 2E"},
    {"apr", "D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0"},
    {"bag", "41 4F 4C 20 46 65 65 64 62 61 67;41 4F 4C"},
    {"BAS", ""},
    {"bin", "42 4C 49 32 32 33 51;42 4C 49 32 32 33"},
    {"bz bz2 BZ2 TAR TBZ2 TB2", "42 5A 68"},
    {"cat", "30 82;30"},
    {"CBD", "43 42 46 49 4C 45"},
    {"CCD", "5B 43 6C 6F 6E 65 43 44 5D"},
    {"CDR", "45 4C 49 54 45 20 43 6F 6D 6D 61 6E 64 65 72 20;4D 53 5F 56 4F 49 43 45;52 49 46 46"},
    {"CHI CHM", "49 54 53 46"},
    {"CLB", "43 4D 58 31;43 4F 4D 2B"},
    {"cnt", "3F 5F 03 00"},
    {"COM", "4D 5A;E8;E9;EB"},
    {"CPE", "46 41 58 43 4F 56 45 52 2D 56 45 52"},
    {"CPT", "43 50 54 37 46 49 4C 45;43 50 54 46 49 4C 45"},
    {"CPX", "5B 57 69 6E 64 6F 77 73 20 4C 61 74 69 6E;5B 57 69 6E 64 6F 77 73"},
    {"cru crush CRU", "43 52 55 53 48 20 76"},
    {"CTF", "43 61 74 61 6C 6F 67 20 33 2E 30 30 00"},
    {"CUR", "00 00 02 00"},
    {"DAT dat", "1A 52 54 53 20 43 4F 4D 50 52 45 53 53 45 44 20 49 4D 41 47 45 20 56 31 2E 30 1A;41 56 47 36 5F 49 6E 74 65 67 72 69 74 79 5F 44 61 74 61 62 61 73 65;43 6C 69 65 6E 74 20 55 72 6C 43 61 63 68 65 20 4D 4D 46 20 56 65 72 20;45 52 46 53 53 41 56 45 44 41 54 41 46 49 4C 45;49 6E 6E 6F 20 53 65 74 75 70 20 55 6E 69 6E 73 74 61 6C 6C 20 4C 6F 67;49 6E 6E 6F 20 53 65 74 75 70;4E 41 56 54 52 41 46 46 49 43;50 4E 43 49 55 4E 44 4F;52 41 5A 41 54 44 42 31;55 46 4F 4F 72 62 69 74;BE BA FE CA 0F 50 61 6C 6D 53 47 20 44 61 74 61;A9 0D 00 00 00 00 00 00;43 52 45 47;72 65 67 66;57 4D 4D 50;50 45 53 54;73 6C 68 21;73 6C 68 2E;52 49 46 46;03"},
    {"db DB", "53 51 4C 69 74 65 20 66 6F 72 6D 61 74 20 33 00;00 06 15 61 00 00 00 02 00 00 04 D2 00 00 10 00;D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0;43 4D 4D 4D 15 00 00 00;49 4D 4D 4D 15 00 00 00;44 42 46 48;08"},
    {"db3", "03"},
    {"db4", "04"},
    {"dba", "BE BA FE CA 0F 50 61 6C 6D 53 47 20 44 61 74 61;00 01 42 44"},
    {"dci", "3C 21 64 6F 63 74 79 70"},
    {"DRV", "4D 5A 90 00;4D 5A"},
    {"DVF MSV", "4D 53 5F 56 4F 49 43 45"},
    {"mp", "0C ED"},
    {"dcx", "B1 68 DE 3A"},
    {"DDB", ""},
    {"TTF", "00 01 00 00 00"},
    {"TST", ""},
    {"DMP HDMP", "4D 44 4D 50 93 A7;50 41 47 45 44 55 36 34;50 41 47 45 44 55 4D 50"},
    {"DMS", "44 4D 53 21"},
    {"DPL", "4D 5A"},
    {"drw", "01 FF 02 04 03 02;07"},
    {"ds4", "52 49 46 46"},
    {"DSN", "4D 56"},
    {"dss", "02 64 73 73"},
    {"dtd", "07 64 74 32 64 64 74 64"},
    {"DVR IFO", "44 56 44"},
    {"dwg", "41 43 31 30"},
    {"Enn", "45 56 46 09 0D 0A FF 00;4C 56 46 09 0D 0A FF 00;45 56 46 32 0D 0A 81"},
    {"ECO", ""},
    {"elf", "7F 45 4C 46"},
    {"emf", "01 00 00 00"},
    {"enc", "00 5C 41 B1 FF"},
    {"enl", "?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? 40 40 40 20 00 00 40 40 40 40"},
    {"EPS", "C5 D0 D3 C6;25 21 50 53 2D 41 64 6F 62 65 2D 33 2E 30 20 45 50 53 46 2D 33 20 30;25 21 50 53 2D 41 64 6F 62 65;25 21 50 53"},
    {"eth", "1A 35 01 00"},
    {"evt", "30 00 00 00 4C 66 4C 65"},
    {"EVTX", "45 6C 66 46 69 6C 65 00"},
    {"fli", "?? ?? ?? ?? 11 AF;00 11"},
    {"fm", "3C 4D 61 6B 65 72 46 69 6C 65;3C 4D 49 46 46 69 6C 65"},
    {"fm3", "00 00 1A 00 07 80 01 00"},
    {"fmt", ""},
    {"FNT", ""},
    {"GBC", ""},
    {"GID gid", "3F 5F 03 00;4C 4E 02 00"},
    {"GTD", ""},
    {"GX2", "47 58 32"},
    {"hap", "91 33 48 46"},
    {"hdr", "23 3F 52 41 44 49 41 4E 43 45 0A;49 53 63 28"},
    {"hlp HLP", "3F 5F 03 00;4C 4E 02 00;?? ?? ?? ?? ?? ?? 00 00 FF FF FF FF"},
    {"hqx", "28 54 68 69 73 20 66 69 6C 65 20 6D 75 73 74 20 62 65 20 63 6F 6E 76 65 72 74 65 64 20 77 69 74 68 20 42 69 6E 48 65 78 20"},
    {"IFF", "46 4F 52 4D"},
    {"IME", "42 45 47 49 4E 3A 49 4D 45 4C 4F 44 59"},
    {"IMM", ""},
    {"IMG img", "00 01 00 08 00 01 00 01 01;50 49 43 54 00 08;53 43 4D 49;EB 3C 90 2A;7E 74 2C 01 50 70 02 4D 52"},
    {"ind", "41 4F 4C 49 44 58;41 4F 4C"},
    {"ISO", ""},
    {"ivr", "2E 52 45 43"},
    {"jar JAR", "50 4B 03 04 14 00 08 00 08 00;50 4B 03 04;50 4B 03;5F 27 A8 89;4A 41 52 43 53 00"},
    {"KGB", "4B 47 42 5F 61 72 63 68 20 2D"},
    {"KOZ", "49 44 33 03 00 00 00;49 44 33"},
    {"LDB", ""},
    {"lha lzh", "?? ?? 2D 6C 68"},
    {"LHP lhp", ""},
    {"LIB lib", "21 3C 61 72 63 68 3E 0A"},
    {"LIT", "49 54 4F 4C 49 54 4C 53"},
    {"log", "2A 2A 2A 20 20 49 6E 73 74 61 6C 6C 61 74 69 6F 6E 20 53 74 61 72 74 65 64 20;2A 2A 2A 20 20 49 6E 73"},
    {"lwp", "57 6F 72 64 50 72 6F"},
    {"m3u", "23 45 58 54 4D 33 55"},
    {"manifest", "3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D;43 41 43 48 45 20 4D 41 4E 49 46 45 53 54;3C 3F 78 6D 6C;3C 3F 78"},
    {"MAR", "4D 41 52 31 00;4D 41 72 30 00;4D 41 52 43"},
    {"max", "D0 CF 11 E0 A1 B1 1A E1;D0 CF 11 E0"},
    {"mdf MDF", "00 FF FF FF FF FF FF FF FF FF FF 00 00 02 00 01;01 0F 00 00"},
    {"MDI", "45 50 2A 00;45 50"},
    {"MDS", "4D 45 44 49 41 20 44 45 53 43 52 49 50 54 4F 52"},
    {"MID MIDI", "4D 54 68 64"},
    {"MLS", "4D 49 4C 45 53;4D 56 32 31 34;4D 56 32 43;4D 4C 53 57"},
    {"MMF", "4D 4D 4D 44 00 00"},
    {"mny", "00 01 00 00 4D 53 49 53 41 4D 20 44 61 74 61 62 61 73 65"},
    {"MPA", "00 00 01 BA;FF [F0-FF]"},
    {"NES", "4E 45 53 1A"},
    {"NLS", ""},
    {"nri", "0E 4E 65 72 6F 49 53 4F"},
    {"nsf", "1A 00 00 04 00 00;4E 45 53 4D 1A 01"},
    {"ntf", "30 31 4F 52 44 4E 41 4E 43 45 20 53 55 52 56 45 59 20 20 20 20 20 20 20;4E 49 54 46 30;1A 00 00"},
    {"obj", "4C 01;80"},
    {"OCX", "4D 5A"},
    {"OLB", "4D 5A"},
    {"org pfc", "41 4F 4C 56 4D 31 30 30;41 4F 4C"},
    {"pak", "50 41 43 4B;1A 0B"},
    {"PAT", "47 50 41 54"},
    {"PBK", ""},
    {"PCB", ""},
    {"PCS", "32 03 10 00 00 00 00 00 00 00 80 00 00 00 FF 00"},
    {"pcx", "0A [00-05] [00-01] [01-08]"},
    {"pdb", "4D 2D 57 20 50 6F 63 6B 65 74 20 44 69 63 74 69;4D 69 63 72 6F 73 6F 66 74 20 43 2F 43 2B 2B 20;AC ED 00 05 73 72 00 12;73 7A 65 7A;73 6D 5F"},
    {"PDG", ""},
    {"pf", "11 00 00 00 53 43 43 41;?? ?? ?? ?? 53 43 43 41;4D 41 4D 04"},
    {"pic", "01 00 00 00 01"},
    {"PJT", ""},
    {"PLL", ""},
    {"PPC", ""},
    {"PPZ SNP", "4D 53 43 46"},
    {"prc", "42 4F 4F 4B 4D 4F 42 49"},
    {"PRG", ""},
    {"ps", "25 21 50 53 2D 41 64 6F 62 65;25 21 50 53;25 21"},
    {"psp", "50 61 69 6E 74 20 53 68 6F 70 20 50 72 6F 20 49 6D 61 67 65 20 46 69 6C 65;7E 42 4B 00"},
    {"pwl", "B0 4D 46 43;E3 82 85 96"},
    {"qbb", "45 86 00 00 06 00"},
    {"qdf", "AC 9E BD 8F 00 00"},
    {"qph", "03 00 00 00"},
    {"qt", "?? ?? ?? ?? 66 74 79 70 71 74 20 20;?? ?? ?? ?? 6D 6F 6F 76;?? ?? ?? ?? 6D 64 61 74;?? ?? ?? ?? 66 72 65 65;?? ?? ?? ?? 73 6B 69 70;?? ?? ?? ?? 77 69 64 65;?? ?? ?? ?? 70 6E 6F 74"},
    {"qxd", "00 00 49 49 58 50 52;00 00 4D 4D 58 50 52"},
    {"ra", "2E 52 4D 46 00 00 00 12 00;2E 72 61 FD 00;2E 52 4D 46"},
    {"ram", "72 74 73 70 3A 2F 2F"},
    {"RAW", "49 49 55 00 08 00 00 00;49 49 55 00"},
    {"rgb", "01 DA 01 01 00 03;01 DA"},
    {"rpm", "ED AB EE DB"},
    {"RTD", "43 23 2B 44 A4 43 4D A5 48 64 72"},
    {"sav", "24 46 4C 32 40 28 23 29 20 53 50 53 53 20 44 41 54 41 20 46 49 4C 45;24 46 4C 32"},
    {"SBV", "46 45 44 46"},
    {"SCH", ""},
    {"scm", ""},
    {"SH3", "48 48 47 42 31"},
    {"SHD", "66 49 00 00;67 49 00 00;68 49 00 00;4B 49 00 00"},
    {"sit", "53 74 75 66 66 49 74 20 28 63 29 31 39 39 37 2D;53 49 54 21 00"},
    {"sle", "3A 56 45 52 53 49 4F 4E;41 43 76"},
    {"sly srt slt", ""},
    {"SMD", ""},
    {"snm", "00 1E 84 90 00 00 00 00"},
    {"sol", "00 BF"},
    {"spl", "00 00 01 00"},
    {"SUB", "5B 49 4E 46 4F 52 4D 41 54 49 4F 4E 5D;7B 30 7D;7B 31 7D"},
    {"SWF", "43 57 53;46 57 53;5A 57 53"},
    {"syw", "41 4D 59 4F"},
    {"tar.z", "1F 9D 90;1F 9D;1F A0"},
    {"tga TGA", ""},
    {"TAG", ""},
    {"TLB", "4D 53 46 54 02 00 01 00"},
    {"tr1", "01 10"},
    {"ufa", "55 46 41 C6 D2 C1"},
    {"VCD", "45 4E 54 52 59 56 43 44 02 00 00 01 02 00 18 58"},
    {"vcf", "42 45 47 49 4E 3A 56 43 41 52 44 0D 0A;42 45 47 49 4E 3A 56 43 41 52 44"},
    {"wb2", "00 00 02 00"},
    {"wb3", "?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? 3E 00 03 00 FE FF 09 00 06"},
    {"wk1", "00 00 02 00 06 04 06 00 08 00 00 00 00 00"},
    {"wk3", "00 00 1A 00 00 10 04 00"},
    {"wk4 wk5", "00 00 1A 00 02 10 04 00"},
    {"wmf", "01 00 09 00 00 03;D7 CD C6 9A"},
    {"wpd wp wpg", "FF 57 50 43"},
    {"wri WRI", "BE 00 00 00 AB;31 BE;32 BE"},
    {"ws", "1D 7D"},
    {"XBE", "58 42 45 48"},
    {"XMV", ""},
    {"XSL", "FF FE 3C 00 3F 00 78 00 6D 00 6C 00;3C 3F 78 6D 6C;3C 3F 78"},
    {"xul", "3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D 22 31 2E 30 22 3F 3E;3C 3F 78 6D 6C;3C 3F 78"},
    {"zoo", "5A 4F 4F 20;?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? DC A7 C4 FD"},
};

struct Pattern {
    std::array<std::uint8_t, kHeaderBytes> lo {};
    std::array<std::uint8_t, kHeaderBytes> hi {};
    std::uint8_t length = 0;
    std::int32_t score = 0;
};

// Looked up by string_view, so a call never builds a string.
struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const noexcept { return std::hash<std::string_view> {}(key); }
};

using Table = std::unordered_map<std::string, std::vector<Pattern>, KeyHash, std::equal_to<>>;

Pattern ParsePattern(const std::string& text)
{
    Pattern p;
    std::size_t i = 0;
    std::int32_t score = -1;
    while (i < text.size() && p.length < kHeaderBytes) {
        if (text[i] == ' ') {
            ++i;
        } else if (text[i] == '=') {
            score = static_cast<std::int32_t>(std::strtol(text.c_str() + i + 1, nullptr, 10));
            break;
        } else if (text[i] == '?') {
            p.lo[p.length] = 0x00;
            p.hi[p.length++] = 0xFF;
            i += 2;
        } else if (text[i] == '[') {
            p.lo[p.length] = static_cast<std::uint8_t>(std::strtoul(text.c_str() + i + 1, nullptr, 16));
            p.hi[p.length++] = static_cast<std::uint8_t>(std::strtoul(text.c_str() + i + 4, nullptr, 16));
            i += 7;
        } else {
            const auto v = static_cast<std::uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16));
            p.lo[p.length] = v;
            p.hi[p.length++] = v;
            i += 2;
        }
    }
    p.score = score >= 0 ? score : p.length;
    return p;
}

const Table& Signatures()
{
    static const Table table = [] {
        Table t;
        for (const Row& row : kRows) {
            std::vector<Pattern> patterns;
            const std::string all = row.patterns;
            for (std::size_t start = 0; start < all.size();) {
                const std::size_t end = all.find(';', start);
                patterns.push_back(ParsePattern(all.substr(start, end == std::string::npos ? end : end - start)));
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
            const std::string keys = row.keys;
            for (std::size_t start = 0; start < keys.size();) {
                std::size_t end = keys.find(' ', start);
                if (end == std::string::npos)
                    end = keys.size();
                t.emplace(keys.substr(start, end - start), patterns);
                start = end + 1;
            }
        }
        return t;
    }();
    return table;
}

}  // namespace

std::int32_t HeaderScore(std::string_view extension, const std::uint8_t* bytes, std::size_t size)
{
    const Table& table = Signatures();
    const auto row = table.find(extension);
    if (row == table.end())
        return 0;
    std::int32_t best = 0;
    for (const Pattern& p : row->second) {
        if (p.length > size || p.score <= best)
            continue;
        bool match = true;
        for (std::size_t i = 0; i < p.length && match; ++i)
            match = bytes[i] >= p.lo[i] && bytes[i] <= p.hi[i];
        if (match)
            best = p.score;
    }
    return best;
}

bool HasHeaderSignature(std::string_view extension)
{
    const Table& table = Signatures();
    const auto row = table.find(extension);
    return row != table.end() && !row->second.empty();
}

std::size_t HeaderSignatureKeyCount()
{
    return Signatures().size();
}

}  // namespace filetypes
