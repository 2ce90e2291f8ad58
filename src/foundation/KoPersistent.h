#pragma once
// The persistent base: data objects that are not components copy their state with
// Assign(Source). A class that does not know the source asks the source's AssignTo(Dest); when
// neither side knows the other the copy fails with "Cannot assign a %s to a %s".

#include "KoExceptions.h"

class EKoAssignError : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoAssignError"; }
};

class TKoPersistentBase {
public:
    TKoPersistentBase() = default;
    virtual ~TKoPersistentBase() = default;

    virtual const wchar_t* ClassName() const { return L"TKoPersistentBase"; }

    // Copies Source's state into this object. The base hands the copy to Source->AssignTo(this)
    // and fails for a null source.
    virtual void Assign(const TKoPersistentBase* Source);
    // Copies this object's state into Dest, for destinations that do not know this class. The
    // base fails.
    virtual void AssignTo(TKoPersistentBase* Dest) const;

protected:
    TKoPersistentBase(const TKoPersistentBase&) = default;
    TKoPersistentBase& operator=(const TKoPersistentBase&) = default;

    // Fails with "Cannot assign a <Source's class or nil> to a <this class>".
    [[noreturn]] void AssignError(const TKoPersistentBase* Source) const;
};
