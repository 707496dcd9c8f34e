/* The support libraries a program image asks for, in library-index order:
 * short name (file stem), identifier (32 hexadecimal digits, our own), the
 * version the program is built against, and a short description (UTF-8 here;
 * the builder stores it in the system code page).
 *
 * The builder writes this list into every image; each runtime library
 * exports the same identifier in its descriptor, and the runtime refuses a
 * library whose identifier differs or whose version is older.
 * X(short name, identifier, major, minor, description) */
#ifndef CUMULO_LIBRARY_IDS_H
#define CUMULO_LIBRARY_IDS_H

#define CU_ID_OSTAL   "7C3E19A05B2D4F8E91A6C0D3E5F71B24"
#define CU_ID_WIDGX   "2B8D6F1E4A9C4E07B3D25A6C8E0F9137"
#define CU_ID_NETSUP  "E41A7C93D0B54F6A8C2E1B9D7F3A6058"
#define CU_ID_JDOC    "5F0C2A8E7B1D4C39A6E4F2B0D8C71E95"
#define CU_ID_PARLO   "9A6E3D1C5F8B47E2B0C7A4D91E6F2835"
#define CU_ID_SYSBIND "c07b5e2a91d34f68aE15B7C3D9F0A264"

#define CU_SUPPORT_LIBRARIES(X)                                           \
    X(ostal, CU_ID_OSTAL, 5, 3, "系统核心支持库")                         \
    X(widgx, CU_ID_WIDGX, 2, 0, "扩展界面支持库一")                       \
    X(netsup, CU_ID_NETSUP, 2, 0, "网络访问支持库")                       \
    X(jdoc, CU_ID_JDOC, 2, 3, "网页客户端")                               \
    X(parlo, CU_ID_PARLO, 2, 0, "多线程支持库")                           \
    X(sysbind, CU_ID_SYSBIND, 3, 1, "应用接口支持库")

#endif
