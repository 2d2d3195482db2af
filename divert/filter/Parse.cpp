// Parser: recursive descent over the token list.
//
//   filter   = disjunct { OR disjunct }
//   disjunct = operand { AND operand }
//   operand  = "(" filter ")" | "(" filter "?" filter ":" filter ")" | test
//   test     = { NOT } ( true | false | field [ relop [ "-" ] value ] )
//   field    = SCALAR | ARRAY "[" [ "-" ] NUMBER [ b ] "]"
//
// `not` applies to one test only and inverts its operator. A conditional exists only
// inside its own parentheses. Every error is "parse error" at the offending token, except
// array indexes outside the packet limit.
#include "divert/filter/Compiler.h"

namespace divert::filter {
namespace {

bool IsRelop(TokenKind kind) {
    switch (kind) {
        case TokenKind::Eq:
        case TokenKind::Neq:
        case TokenKind::Lt:
        case TokenKind::Leq:
        case TokenKind::Gt:
        case TokenKind::Geq:
            return true;
        default:
            return false;
    }
}

Op RelopOf(TokenKind kind) {
    switch (kind) {
        case TokenKind::Neq:
            return kNeq;
        case TokenKind::Lt:
            return kLt;
        case TokenKind::Leq:
            return kLeq;
        case TokenKind::Gt:
            return kGt;
        case TokenKind::Geq:
            return kGeq;
        default:
            return kEq;
    }
}

class Parser {
  public:
    Parser(const std::vector<Token>& tokens, Ast& ast) : tokens_(tokens), ast_(ast) {}

    Error Run() {
        ast_.nodes.clear();
        uint32_t root;
        if (!Filter(0, root)) return error_;
        if (Current().kind != TokenKind::End) {
            Fail();
            return error_;
        }
        ast_.root = root;
        return {};
    }

  private:
    const Token& Current() const { return tokens_[next_]; }
    // The token list always ends with End, and End is never consumed.
    void Advance() {
        if (tokens_[next_].kind != TokenKind::End) ++next_;
    }

    bool Fail() {
        error_ = Error{errors::kParse, Current().position};
        return false;
    }

    uint32_t AddNode(Node node) {
        ast_.nodes.push_back(std::move(node));
        return static_cast<uint32_t>(ast_.nodes.size() - 1);
    }

    bool Filter(unsigned depth, uint32_t& out) {
        // The published compiler gives up on deeper nesting with a parse error at the
        // token where the limit is crossed.
        if (depth > kMaxDepth) return Fail();
        return Chain(depth, TokenKind::Or, out);
    }

    // A chain of operands joined by `separator` (Or: disjuncts; And: operands).
    bool Chain(unsigned depth, TokenKind separator, uint32_t& out) {
        uint32_t first;
        if (!Element(depth, separator, first)) return false;
        if (Current().kind != separator) {
            out = first;
            return true;
        }
        Node chain;
        chain.kind = separator == TokenKind::Or ? NodeKind::Or : NodeKind::And;
        chain.children.push_back(first);
        while (Current().kind == separator) {
            Advance();
            uint32_t next;
            if (!Element(depth, separator, next)) return false;
            chain.children.push_back(next);
        }
        out = AddNode(std::move(chain));
        return true;
    }

    bool Element(unsigned depth, TokenKind separator, uint32_t& out) {
        if (separator == TokenKind::Or) return Chain(depth, TokenKind::And, out);
        return Operand(depth, out);
    }

    bool Operand(unsigned depth, uint32_t& out) {
        if (Current().kind != TokenKind::LParen) return TestNode(out);
        Advance();
        uint32_t inner;
        if (!Filter(depth + 1, inner)) return false;
        if (Current().kind == TokenKind::RParen) {
            Advance();
            out = inner;
            return true;
        }
        if (Current().kind != TokenKind::Question) return Fail();
        Advance();
        uint32_t whenTrue, whenFalse;
        if (!Filter(depth + 1, whenTrue)) return false;
        if (Current().kind != TokenKind::Colon) return Fail();
        Advance();
        if (!Filter(depth + 1, whenFalse)) return false;
        if (Current().kind != TokenKind::RParen) return Fail();
        Advance();
        Node cond;
        cond.kind = NodeKind::Cond;
        cond.children = {inner, whenTrue, whenFalse};
        out = AddNode(std::move(cond));
        return true;
    }

    bool TestNode(uint32_t& out) {
        bool negated = false;
        while (Current().kind == TokenKind::Not) {
            negated = !negated;
            Advance();
        }
        Node node;
        if (Current().kind == TokenKind::True || Current().kind == TokenKind::False) {
            bool value = (Current().kind == TokenKind::True) != negated;
            node.kind = value ? NodeKind::True : NodeKind::False;
            Advance();
            out = AddNode(std::move(node));
            return true;
        }
        if (Current().kind != TokenKind::Field) return Fail();
        node.kind = NodeKind::Test;
        TestTerm& test = node.test;
        test.field = Current().field;
        Advance();
        const FieldInfo& field = Field(test.field);
        if (field.arrayWord != 0 && !Index(field.arrayWord, test.index)) return false;

        if (IsRelop(Current().kind)) {
            test.op = RelopOf(Current().kind);
            Advance();
            test.valuePosition = Current().position;
            if (Current().kind == TokenKind::Minus) {
                test.value.negative = true;
                Advance();
            }
            if (Current().kind != TokenKind::Number) return Fail();
            test.value.magnitude = Current().value;
            test.explicitValue = true;
            Advance();
        } else {
            test.op = kNeq;  // FIELD alone means FIELD != 0
        }
        if (negated) test.op = InvertOp(test.op);
        out = AddNode(std::move(node));
        return true;
    }

    // "[" [-] NUMBER [b] "]" -> byte offset (negative: from the end).
    bool Index(unsigned wordSize, int32_t& offset) {
        if (Current().kind != TokenKind::LBracket) return Fail();
        Advance();
        bool negative = false;
        if (Current().kind == TokenKind::Minus) {
            negative = true;
            Advance();
        }
        if (Current().kind != TokenKind::Number) return Fail();
        if (Current().value > static_cast<u128>(kMaxIndex)) {
            error_ = Error{errors::kIndexOutOfBounds, Current().position};
            return false;
        }
        int32_t raw = static_cast<int32_t>(Current().value);
        Advance();
        bool bytes = false;
        if (Current().kind == TokenKind::BytesSuffix) {
            bytes = true;
            Advance();
        }
        int32_t magnitude = bytes ? raw : raw * static_cast<int32_t>(wordSize);
        offset = negative ? -magnitude : magnitude;
        // "-0" has no meaning as an offset from the end; ArrayOffsetValid rejects it.
        if ((negative && magnitude == 0) || !ArrayOffsetValid(offset, wordSize)) {
            error_ = Error{errors::kIndexOutOfBounds, Current().position};
            return false;
        }
        if (Current().kind != TokenKind::RBracket) return Fail();
        Advance();
        return true;
    }

    const std::vector<Token>& tokens_;
    Ast& ast_;
    size_t next_ = 0;
    Error error_;
};

}  // namespace

bool ArrayOffsetValid(int32_t offset, unsigned wordSize) {
    const int32_t size = static_cast<int32_t>(wordSize);
    if (offset >= 0) return offset <= 0xFFFF - size;
    return -offset >= size && -offset <= 0xFFFF;
}

Error Parse(const std::vector<Token>& tokens, Ast& ast) {
    if (tokens.empty() || tokens.back().kind != TokenKind::End) {
        return Error{errors::kAssertion, 0};
    }
    return Parser(tokens, ast).Run();
}

}  // namespace divert::filter
