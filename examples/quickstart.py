"""Vantorel quickstart: index plain Python objects by their attributes and query them.

Run with `make demo`.
"""

from collections.abc import Iterable

from Vantorel import Index, Indexable
from Vantorel import PyQueryExpr as Q


class Product(Indexable):
    """Every attribute assigned to an Indexable is indexed: there is no schema to declare."""


def names(products: Iterable[Product]) -> str:
    return ", ".join(p.name for p in products)


def main() -> None:
    sword = Product(name="sword", price=120, qty=3, tags=["weapon", "steel"])
    shield = Product(name="shield", price=80, qty=0, tags=["armour", "steel"])
    potion = Product(name="potion", price=15, qty=40, tags=["magic"])
    scroll = Product(name="scroll", price=25, qty=0, tags=["magic", "paper"])
    shop: Index[Product] = Index()
    shop.add_object_many([sword, shield, potion, scroll])

    print("tagged steel:    ", names(shop.get_by_attribute(tags="steel")))
    print("cheap, in stock: ", names(shop.reduced_query(Q.lt("price", 30) & Q.gt("qty", 0))))
    print("name starts 's': ", names(shop.reduced_query(Q.starts_with("name", "s"))))

    in_stock = Q.gt("qty", 0)
    print("in stock:        ", names(shop.reduced_query(in_stock)))
    shield.qty = 5  # an assignment updates every index that holds the object
    print("restocked shield:", names(shop.reduced_query(in_stock)))


if __name__ == "__main__":
    main()
