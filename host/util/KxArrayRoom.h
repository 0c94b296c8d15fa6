#pragma once

// Room for one more item in an array of pointers that grows by doubling, starting at nFirst:
// the growth of this library's arrays and of the runtime's lists. The larger array is had
// before the old one is let go, so an allocation that fails leaves the array as it was.
template <class T>
void KxMakeRoom(T**& ppItems, int nCount, int& nRoom, int nFirst = 8) {
    if (nCount < nRoom) return;
    int nMore = nRoom ? nRoom * 2 : nFirst;
    T** ppMore = new T*[nMore];
    for (int i = 0; i < nCount; ++i) ppMore[i] = ppItems[i];
    delete[] ppItems;
    ppItems = ppMore;
    nRoom = nMore;
}
