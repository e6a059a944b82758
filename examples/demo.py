"""A tour of veskal's four search functions on a short contract-and-invoice excerpt.

Run with `make demo`, or `python examples/demo.py` wherever veskal is installed.
"""

import veskal

# A scanned document after OCR: accents are not always where they should be, and a few letters
# were misread (Marchnad, Répubiique, an O for a 0 in one reference).
DOCUMENT = """\
CONTRAT DE PRESTATION DE SERVICES - Réf. CTR-2024-0117

Entre la société Dupont & Fils SARL, sise 12 rue de la Répubiique, 69002 Lyon,
représentée par M. Jean-Baptiste Lefèvre, gérant,
et Mme Hélène Marchnad, demeurant 8 bis avenue Jean Jaurès, 75019 Paris.

FACTURE N° FAC-2024-0342 du 15/03/2024
Désignation : maintenance annuelle, contrat CTR-2024-O117
Montant HT : 1 250,00 € - TVA 20 % : 250,00 € - Total TTC : 1 500,00 €
Règlement à l'ordre de Dupont et Fils SARL, 12 rue de la République, 69002 Lyon.
Fait à Lyon, le 15 mars 2024. Signé : J.-B. LEFEVRE, Helene Marchand.
"""


def show(title, call, matches):
    print(f"\n{title}\n  {call}")
    if not matches:
        print("  (no match)")
    for start, end, score in matches:
        # Positions count characters of the normalised text; they are positions in DOCUMENT too,
        # as long as it holds no U+0130 (which lowercases to two characters).
        before = DOCUMENT[max(0, start - 18) : start].replace("\n", " ")
        after = DOCUMENT[end : end + 18].replace("\n", " ")
        found = DOCUMENT[start:end].replace("\n", " ")
        print(f"  ({start:3}, {end:3})  score {score:.3f}   …{before}[{found}]{after}…")


def main():
    # Whole tokens, exactly: the tokens are what lies between single blanks, and a pattern of two
    # words is compared with runs of two tokens, the blank between them included.
    show(
        "exact_token_extract: a postcode and town, ignoring case",
        'exact_token_extract(doc, "69002 lyon.", " ", True, False)',
        veskal.exact_token_extract(DOCUMENT, "69002 lyon.", " ", True, False),
    )

    # Anywhere in the text, exactly, after normalisation: with both flags "Lefèvre" and "LEFEVRE"
    # both read "lefevre".
    show(
        "exact_raw_extract: a surname, ignoring case and accents",
        'exact_raw_extract(doc, "Lefèvre", True, True, ["longest"])',
        veskal.exact_raw_extract(DOCUMENT, "Lefèvre", True, True, ["longest"]),
    )

    # Approximately, anywhere: windows within 20 % of the pattern's length in edits, swapped
    # letters counting as one edit; one match per cluster of overlapping windows, the closest
    # (then the shortest) kept.
    show(
        "fuzzy_raw_extract: a name with OCR typos",
        'fuzzy_raw_extract(doc, "Hélène Marchand", True, True, "damerau_levenshtein", 0.2, 1,'
        ' ["best_match", "shortest"])',
        veskal.fuzzy_raw_extract(
            DOCUMENT,
            "Hélène Marchand",
            True,
            True,
            "damerau_levenshtein",
            0.2,
            1,
            ["best_match", "shortest"],
        ),
    )

    # Approximately, whole tokens: each token is compared with the reference, at most 2 edits.
    show(
        "fuzzy_token_extract: a contract reference, at most 2 edits",
        'fuzzy_token_extract(doc, "CTR-2024-0117", " ", False, False, "levenshtein", 2, 0,'
        ' ["best_match"])',
        veskal.fuzzy_token_extract(
            DOCUMENT, "CTR-2024-0117", " ", False, False, "levenshtein", 2, 0, ["best_match"]
        ),
    )

    # An address over several tokens; the line feeds count as blanks.
    show(
        "fuzzy_token_extract: an address, normalised Levenshtein distance up to 0.1",
        'fuzzy_token_extract(doc, "12 rue de la République", " ", True, True, "levenshtein",'
        " 0.1, 1, [])",
        veskal.fuzzy_token_extract(
            DOCUMENT, "12 rue de la République", " ", True, True, "levenshtein", 0.1, 1, []
        ),
    )


if __name__ == "__main__":
    main()
