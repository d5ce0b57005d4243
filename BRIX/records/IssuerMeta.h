// IssuerMeta.h: the six certificate issuer attributes, in the one order
// (CN, C, S, L, O, OU) that every loop over them walks: event conversion,
// trust-rule storage and lookup, ruleset import.
#ifndef BRIX_ISSUERMETA_H_
#define BRIX_ISSUERMETA_H_

#include <cstdint>

enum issuer : uint32_t {
  ISSUER_CN = 0,
  ISSUER_C = 1,
  ISSUER_S = 2,
  ISSUER_L = 3,
  ISSUER_O = 4,
  ISSUER_OU = 5,
};

class IssuerMetaArrayUtil {
 public:
  class IssuerMeta {
   public:
    constexpr explicit IssuerMeta(issuer value) : m_issuer(value) {}
    constexpr issuer getIssuer() const { return m_issuer; }
    // SQL parameter name of the attribute's column (":issuerCN", ...).
    constexpr const char* getBindVarName() const {
      return Pick(m_issuer, ":issuerCN", ":issuerC", ":issuerS", ":issuerL",
                  ":issuerO", ":issuerOU");
    }
    // "IssuerCN", ...: used in log lines.
    static constexpr const char* getLabelCaps(issuer value) {
      return Pick(value, "IssuerCN", "IssuerC", "IssuerS", "IssuerL",
                  "IssuerO", "IssuerOU");
    }
    // "issuerCN", ...: the column and ruleset key names.
    static constexpr const char* getLabelCapless(issuer value) {
      return Pick(value, "issuerCN", "issuerC", "issuerS", "issuerL",
                  "issuerO", "issuerOU");
    }

   private:
    // Any value past O falls to OU.
    static constexpr const char* Pick(uint32_t v, const char* cn,
                                      const char* c, const char* s,
                                      const char* l, const char* o,
                                      const char* ou) {
      switch (v) {
        case ISSUER_CN: return cn;
        case ISSUER_C: return c;
        case ISSUER_S: return s;
        case ISSUER_L: return l;
        case ISSUER_O: return o;
        default: return ou;
      }
    }

    issuer m_issuer;
  };

  static const IssuerMeta m_issuerMetas[6];
};

inline const IssuerMetaArrayUtil::IssuerMeta
    IssuerMetaArrayUtil::m_issuerMetas[6] = {
        IssuerMeta(ISSUER_CN), IssuerMeta(ISSUER_C), IssuerMeta(ISSUER_S),
        IssuerMeta(ISSUER_L),  IssuerMeta(ISSUER_O), IssuerMeta(ISSUER_OU),
};

#endif  // BRIX_ISSUERMETA_H_
