#include "KoOPCCom.h"

#include <cstring>
#include <stdexcept>

#include "KoOPCDA.h"
#include "KoOPCErrors.h"
#include "KoPersistent.h"
#include "KoStrings.h"
#include "KoVarLinks.h"
#include "KoVars.h"

namespace {

HRESULT MapOleCode(HRESULT Code) noexcept {
    switch (Code) {
    case DISP_E_OVERFLOW:
        return OPC_E_RANGE;
    case DISP_E_TYPEMISMATCH:
    case DISP_E_BADVARTYPE:
        return OPC_E_BADTYPE;
    default:
        return Code;
    }
}

} // namespace

HRESULT KoErrorToHResult() noexcept {
    try {
        throw;
    } catch (const EKoOleError& E) {
        return MapOleCode(E.ErrorCode());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const EKoStringListError&) {
        return E_INVALIDARG;
    } catch (const EKoComponentListError&) {
        return E_INVALIDARG;
    } catch (const EKoPersistentListError&) {
        return E_INVALIDARG;
    } catch (const std::out_of_range&) {
        return E_INVALIDARG;
    } catch (const EKoOPCProviderInvalidArg&) {
        return E_INVALIDARG;
    } catch (const EKoOPCProviderAddressSpaceException&) {
        return E_INVALIDARG;
    } catch (const EKoIntfCastError&) {
        return E_NOINTERFACE;
    } catch (const EKoReadOnly&) {
        return OPC_E_BADRIGHTS;
    } catch (const EKoOPCProviderGroupDuplicateName&) {
        return OPC_E_DUPLICATENAME;
    } catch (const EKoRangeError&) {
        return OPC_E_RANGE;
    } catch (const EKoOverflow&) {
        return OPC_E_RANGE;
    } catch (const EKoIntOverflow&) {
        return OPC_E_RANGE;
    } catch (const std::range_error&) {
        return OPC_E_RANGE;
    } catch (const std::overflow_error&) {
        return OPC_E_RANGE;
    } catch (const EKoConvertError&) {
        return OPC_E_BADTYPE;
    } catch (const EKoVarException&) {
        return OPC_E_BADTYPE;
    } catch (...) {
        return E_FAIL;
    }
}

wchar_t* KoTaskMemString(std::wstring_view Text) {
    TKoTaskMem<wchar_t> Result(Text.size() + 1);
    std::memcpy(Result.Get(), Text.data(), Text.size() * sizeof(wchar_t));
    Result[Text.size()] = L'\0';
    return Result.Release();
}
