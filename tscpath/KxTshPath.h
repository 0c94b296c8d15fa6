#pragma once
#include "KxTshClass.h"

// Path: files and folders by name, in UTF-8, through the system's Unicode calls. Info and
// List give records of entries (exact sizes, local times); Full, Join, Parent, Name,
// Extension and IsInside work on the text; Move, Copy and Remove act on files and trees; Read
// reads a file that others may be writing. Every method is the class's own: Path makes no
// objects.
class KxTshPath : public KxTshClass<KxTshPath> {
public:
    explicit KxTshPath(ClassObjectTag);

    KxScDataHandle* Info(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* List(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Skipped(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Full(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Join(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Parent(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Name(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Extension(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* IsInside(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Move(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Copy(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Remove(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Read(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);

    static const KxTshClassDef kDef;
};

KXTSH_DECLARE_STATICS(KxTshPath);
