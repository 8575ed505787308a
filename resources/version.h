/* The one version record of the product: Tovix.exe's and TovixService.exe's
   version resources and the installer's package version are made from it. */
#define TOVIX_VERSION_BINARY 1, 0, 0, 0
#define TOVIX_VERSION_TEXT "1.0.0.0"
