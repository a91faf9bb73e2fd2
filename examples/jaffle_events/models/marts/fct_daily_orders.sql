{{ config(
    materialized='incremental',
    incremental_strategy='microbatch',
    event_time='ordered_at',
    batch_size='day',
    begin='2024-01-01',
) }}

select
    o.order_id,
    o.customer_id,
    c.country,
    o.ordered_at,
    o.amount,
    o.currency,
    o.amount / coalesce(r.units_per_eur, 1) as amount_eur
from {{ ref('stg_orders') }} as o
left join {{ ref('dim_customers') }} as c
    on c.customer_id = o.customer_id
left join {{ ref('fx_rates') }} as r
    on r.currency = o.currency
   and r.rate_date = cast(o.ordered_at as date)
