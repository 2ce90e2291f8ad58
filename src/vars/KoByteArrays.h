#pragma once
// The byte array variable: a process variable whose value is a block of bytes, such as the raw
// image of a device register area.
//
// The value property reads and writes as an array of unsigned bytes (VT_ARRAY | VT_UI1, bounds
// 0 to Length - 1). The same bytes can be read and written as typed fields (bits, 8-, 16-, 24-,
// 32- and 64-bit integers, 32- and 64-bit floating point, text) at a byte index, with a
// selectable byte order for multi-byte fields and bit order inside each byte. Every byte carries
// a modified flag.
//
// Byte indices are absolute: the valid indices are Offset to Offset + Length - 1. Every access
// checks its whole field against that range before it reads or writes anything, so a failing
// access leaves the bytes as they were; index arithmetic is done in 64 bits so that no index,
// length or count can wrap around into the storage.
//
// The bulk operations (Lock, CopyBytes, GetBytes, BytesToCSV ...) see the bytes as stored; the
// single-byte and typed operations (GetByte, SetByte, GetWord ...) apply the bit order.

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "KoOle.h"
#include "KoVars.h"

// Bit order inside a byte or byte order of a multi-byte field.
enum TKoEndian : int { enBigEndian, enLittleEndian };

// The field types of the typed access to the bytes.
enum TKoDataType : int { dtBit, dtByte, dtInt16, dtInt24, dtInt32, dtFloat32, dtInt64, dtFloat64, dtString };

// The size of a field in bytes; 0 for dtString (as long as the text) and for values outside the
// enumeration.
int KoDataTypeSize(TKoDataType DataType);

// The field type and signedness by which a value of the data type is stored in the bytes; any
// data type without a field type fails with EKoException "Unsupported DataType".
std::pair<TKoDataType, bool> VarDataTypeToDataType(TKoVarDataType DataType);

// A byte index, bit number or count outside what the array holds.
class EKoByteArrayException : public EKoVarException {
public:
    using EKoVarException::EKoVarException;
    const wchar_t* ClassName() const noexcept override { return L"EKoByteArrayException"; }
};

class TKoByteArray : public TKoVar {
public:
    explicit TKoByteArray(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoByteArray"; }

    // ---- configuration ----

    TKoEndian BitOrder() const { return FBitOrder; }
    void SetBitOrder(TKoEndian Value) { FBitOrder = Value; }
    TKoEndian ByteOrder() const { return FByteOrder; }
    void SetByteOrder(TKoEndian Value) { FByteOrder = Value; }
    // The index of the first byte; changing it moves the window of valid indices, not the bytes.
    int32_t Offset() const { return FOffset; }
    void SetOffset(int32_t Value) { FOffset = Value; }

    int32_t Length() const { return static_cast<int32_t>(FBytes.size()); }
    // Resizes the array keeping the bytes it holds; new bytes are 0. A length of 0 or less
    // empties it and makes the value bad; growing a good array makes the value bad until a byte
    // is written; shrinking a good array is a change of the value.
    void SetLength(int32_t Value);

    // Copies length and bytes of another byte array together with its value's quality and time
    // stamp; any other variable is copied property by property.
    void Assign(TKoComponent* Source) override;

    // ---- single bytes (bit order applied) ----

    // The position in the storage of a valid byte index; any other index fails with
    // EKoByteArrayException.
    size_t ByteIndexToPos(int64_t Index) const;
    virtual uint8_t GetByte(int32_t Index);
    // Stores the byte, marks it modified and makes the value good; an equal byte on a good array
    // changes nothing.
    virtual void SetByte(int32_t Index, uint8_t AValue);
    static uint8_t SwitchBits(uint8_t AByte);

    // ---- multi-byte fields (byte order applied; each write notifies once) ----

    virtual uint16_t GetWord(int32_t ByteIndex);
    virtual uint32_t GetLongWord(int32_t ByteIndex);
    virtual int64_t GetInt64(int32_t ByteIndex);
    virtual void SetWord(int32_t ByteIndex, uint16_t Value);
    virtual void SetLongWord(int32_t ByteIndex, uint32_t Value);
    virtual void SetInt64(int32_t ByteIndex, int64_t Value);

    // ---- bulk access (bytes as stored) ----

    // Opens an update bracket of the value and returns the stored bytes (Length of them, nullptr
    // when there are none). Every Lock is ended by one UnlockModified or UnlockUnmodified.
    uint8_t* Lock();
    // Ends a Lock after the bytes FirstModifiedByte (an index) and the following ModifiedCount - 1
    // were written: marks them modified and the value good, stamped ATimestamp (0: now).
    // Flags of indices outside the array are not touched.
    void UnlockModified(int32_t FirstModifiedByte, int32_t ModifiedCount, double ATimestamp);
    // Ends a Lock that wrote nothing.
    void UnlockUnmodified();

    // Copies Count bytes from Value to the indices from FirstByte on and marks them modified.
    // Fails with EKoByteArrayException for a start below Offset or a negative count, and with
    // EKoError "TKoByteArray.CopyBytes : array bounds exceeded" past the end.
    void CopyBytes(int32_t FirstByte, const void* Value, int32_t Count, double ATimestamp);
    // A copy of Count bytes from FirstByte on, as a byte array with bounds 0 to Count - 1.
    TKoOleVariant GetBytes(int32_t FirstByte, int32_t Count) const;
    // The same bytes as a byte string.
    std::string GetBytesToString(int32_t FirstByte, int32_t Count) const;
    // Writes an array (converted to bytes when its element type differs) from ByteIndex on, or a
    // single value as one byte.
    void SetBytes(int32_t ByteIndex, const VARIANT& AValue);
    void SetBytes(int32_t ByteIndex, std::initializer_list<TKoOleVariant> Values);
    // Makes the array as long as S and copies its bytes.
    virtual void SetBytesFromString(const std::string& S);
    // Zeroes the bytes at the positions FirstByte to LastByte (a negative LastByte means the
    // last), clears every modified flag and makes the value good. A position outside the array
    // fails with EKoRangeError.
    virtual void ClearBytes(int32_t FirstByte, int32_t LastByte, double ATimestamp);
    // Copies the bytes at the positions FirstByte to LastByte of Source to the same positions
    // here, byte by byte, in one update.
    void CopyFrom(TKoByteArray* Source, int32_t FirstByte, int32_t LastByte, double ATimestamp);

    // ---- text form ----

    // The stored bytes as decimal numbers joined by the comma-separated codec with Separator
    // (L'\0': the locale's list separator).
    std::wstring BytesToCSV(wchar_t Separator) const;
    // Reads the bytes back from such a text (decimal or hexadecimal numbers); a text with an
    // entry that is no number from 0 to 255 fails and changes nothing.
    void CSVToBytes(const std::wstring& AValue, wchar_t Separator);

    // ---- modified flags ----

    bool IsModified() const { return FIsModified; }
    // False clears the flag of every byte.
    void SetIsModified(bool Value);
    bool GetIsByteModified(int32_t Index) const;
    // True also sets IsModified.
    void SetIsByteModified(int32_t Index, bool Value);

    // ---- typed fields ----

    // Reads a field at byte index Byte: a Boolean for dtBit (bit Bit, 0 to 7), an unsigned byte,
    // signed or unsigned 16-, 24-, 32- and 64-bit integers, a double for both floating-point
    // fields (a NaN reads as KoBadFloat), a text of Size characters for dtString (0: up to the
    // last byte).
    virtual TKoOleVariant GetAsDataType(TKoDataType DataType, bool Signed, int32_t Byte, int32_t Bit,
                                        int32_t Size);
    // Writes a value as a field at byte index Byte; dtInt24 cannot be written.
    virtual void SetAsDataType(const VARIANT& Value, TKoDataType DataType, bool Signed, int32_t Byte,
                               int32_t Bit);
    // Writes element Index of an array of DataType (the element's field follows the ones before
    // it from the first byte on). An error makes the value bad and is not passed on; the answer
    // tells whether the element was written.
    bool SetBytesAsDataType(int32_t Index, const VARIANT& V, TKoVarDataType DataType);

    // ---- properties ----

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;
    bool GetPropIsArray(TKoVarPropType Prop) const override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& AValue) override;
    void SetPropAsDataType(TKoVarPropType Prop, const VARIANT& Value, TKoVarDataType DataType) override;

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    TKoOleVariant GetPropAsDataTypeGood(TKoVarPropType Prop, TKoVarDataType DataType) override;
    double GetPropAsDateTimeGood(TKoVarPropType Prop) override;
    double GetPropAsFloatGood(TKoVarPropType Prop) override;
    int32_t GetPropAsIntegerGood(TKoVarPropType Prop) override;
    std::wstring GetPropAsStringGood(TKoVarPropType Prop) override;
    TKoOleVariant GetVarPropValueAsDataTypeGood(TKoVarPropType Prop, const VARIANT& V,
                                                TKoVarDataType DataType) override;
    void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) override;

    // Fails with EKoByteArrayException for the first index of Index .. Index + Count - 1 that
    // is not valid (Count 0: for a start outside the first index .. one past the last).
    void CheckByteRange(int64_t Index, int64_t Count) const;
    // The same for a field read or written byte by byte: every index must also fit 32 bits.
    void CheckFieldRange(int64_t Index, int64_t Count) const;
    // Fails with EKoByteArrayException for a count below 0 or beyond what a 32-bit length holds.
    void CheckCount(int64_t Count) const;
    [[noreturn]] void ByteIndexError(int64_t Index) const;

private:
    void CheckRange(int64_t Index, int64_t Count, int64_t High) const;
    // Runs Body inside one update bracket of the value that ends good, with the changing call,
    // stamped ATimestamp; so a write of several bytes notifies once.
    template <class TBody> void InValueBracket(TBody&& Body, double ATimestamp);
    // The positions First to Last after the checks of ClearBytes and CopyFrom.
    std::pair<int64_t, int64_t> ClearRange(int64_t FirstByte, int64_t LastByte) const;
    // The bytes a value stands for: the raw data of an array, the characters of a text, the
    // memory image of any other scalar.
    static std::vector<uint8_t> ValueBytes(const VARIANT& AValue);
    void StoreBytes(const std::vector<uint8_t>& Bytes);

    TKoEndian FBitOrder = enBigEndian;
    TKoEndian FByteOrder = enLittleEndian;
    bool FIsModified = false;
    int32_t FOffset = 0;
    std::vector<uint8_t> FBytes;
    std::vector<bool> FModified;
};
