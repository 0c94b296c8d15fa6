#pragma once
#include <windows.h>

#include "KxTshClass.h"

// File: a text file opened once, in one mode, read or written line by line through a buffer
// of its own. Scripts get instances from File.Open(name, "read" | "write" | "append"); the
// class object also copies, deletes and tests files by name. Lines are read up to LF or
// CR LF and written with CR LF; bytes pass unchanged otherwise.
class KxTshFile : public KxTshClass<KxTshFile> {
public:
    // The mode bits of dwState (and the script's FILE_* constants), and the open bit.
    enum : unsigned { FS_OPEN = 1, FS_CLOSED = 2, FS_READ = 4, FS_WRITE = 8, FS_APPEND = 16 };
    enum : unsigned { kBufferSize = 4097, kReadBlock = 4096, kTextRoom = 4094 };

    KxTshFile();
    explicit KxTshFile(ClassObjectTag);
    ~KxTshFile() override;

    // The line I/O (KxTshFileBuffer.cpp).
    bool OpenFile(const KxString& sName, unsigned dwMode, KxString& sErrorText);
    // The next line without its line end; false at the end of the file (text after the last
    // line end is dropped), on a read error, or when not open for reading.
    bool ReadLine(KxString& sLine);
    // Buffers the text, then CR LF and a flush when bLineEnd. Only for a file open for
    // writing or appending; on any other it does nothing.
    bool WriteText(const KxString& sText, bool bLineEnd);
    void FlushBuffer();
    void CloseFile();
    bool IsReadable() const { return (dwState & FS_OPEN) && (dwState & FS_READ); }
    bool IsWritable() const { return (dwState & FS_OPEN) && (dwState & (FS_WRITE | FS_APPEND)); }

    KxScDataHandle* Open(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Close(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* ReadLn(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Write(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* WriteLn(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Flush(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Copy(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Delete(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* DoesExist(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);

    bool GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue);

    static const KxTshClassDef kDef;

    KxString sFileName;
    unsigned char* pbBuffer;
    unsigned char* pbCursor;
    unsigned dwCount;
    HANDLE hFile;
    unsigned dwState;

private:
    void SetClosed();
    KxScDataHandle* WriteArgs(int nArgs, KxScDataHandle** pphArgs, bool bLineEnd);
};

KXTSH_DECLARE_STATICS(KxTshFile);
